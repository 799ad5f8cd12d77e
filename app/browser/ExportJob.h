#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

#include "store/StoreExport.h"
#include "store/TradeFilter.h"

// One export of the browser's filter on a thread of its own, through store::ExportRows, so that
// the browser goes on reading while a large export is written and the export can be cancelled.
namespace korvalot::app::browser {

struct ExportOutcome {
    store::ExportCounts counts;
    bool cancelled = false;
    std::string error;  // one line; empty: written
};

class ExportJob {
public:
    using Post = std::function<void(std::function<void()>)>;

    struct Request {
        std::filesystem::path store;
        store::TradeFilter filter;
        std::filesystem::path output;
        store::ExportFormat format = store::ExportFormat::Csv;
        std::string decimalSeparator;
    };

    // Starts the export. progress(rows written) and done run through post, on the window's
    // thread; progress at most every kProgressRows rows.
    ExportJob(Request request, Post post, std::function<void(std::int64_t)> progress,
              std::function<void(ExportOutcome)> done);
    // Cancels an export still under way and joins the thread: no file is left behind.
    ~ExportJob();
    ExportJob(const ExportJob&) = delete;
    ExportJob& operator=(const ExportJob&) = delete;

    // The export ends without a file as soon as it writes its next row.
    void Cancel() noexcept { cancelled_ = true; }

    static constexpr std::int64_t kProgressRows = 100;

private:
    std::atomic<bool> cancelled_{false};
    std::thread thread_;
};

}  // namespace korvalot::app::browser
