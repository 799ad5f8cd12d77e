#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "notify/News.h"
#include "store/LotBrowser.h"
#include "store/TradeFilter.h"
#include "watch/Watch.h"

// The store browser's reading thread: every query of the store runs here, never on the window's
// thread, so that a million lots never hold up typing. The window hands requests in and gets
// each answer back through `post`, which runs a function on the window's thread.
namespace korvalot::app::browser {

struct OpenOutcome {
    std::string error;                                         // one line; empty: the store is open
    std::vector<std::pair<std::string, std::string>> regions;  // code, name; by name
};

struct QueryOutcome {
    std::uint64_t generation = 0;
    std::vector<std::int64_t> lotIds;
    std::int64_t trades = 0;
    std::string error;
};

struct RowsOutcome {
    std::uint64_t generation = 0;
    std::vector<std::int64_t> lotIds;     // as asked
    std::vector<store::BrowsedLot> lots;  // those the store still holds
    std::string error;
};

struct DetailsOutcome {
    std::int64_t lotId = 0;
    std::optional<store::TradeDetails> trade;
    std::vector<store::PricePoint> prices;
    std::string error;
};

// The window's own position in each watch's news, kept beside the channels' positions: what it
// has shown the user. No channel of channels.ini may bear this name.
inline constexpr const char* kWindowChannel = "окно";

struct WatchEntry {
    watch::Watch watch;
    std::size_t unseen = 0;  // news after the window's position
};

struct WatchesOutcome {
    std::vector<WatchEntry> watches;  // by name
    std::string error;
};

struct SeenOutcome {
    std::string name;
    std::optional<watch::Watch> watch;   // nothing: the store holds no such watch any more
    std::vector<notify::NewsItem> news;  // those that were unseen, in the store's order
    std::string error;                   // one line; the news then stay unseen
};

struct WatchSaved {
    std::string name;
    std::string error;  // one line; nothing was written
};

class BrowserWorker {
public:
    using Post = std::function<void(std::function<void()>)>;

    explicit BrowserWorker(Post post);
    // Stops the query under way, drops what waits and joins the thread.
    ~BrowserWorker();
    BrowserWorker(const BrowserWorker&) = delete;
    BrowserWorker& operator=(const BrowserWorker&) = delete;

    // Opens the store (again: a Refresh sees what a harvest added, also to a store first read
    // as it stood); later requests read it.
    void Open(std::filesystem::path path, std::function<void(OpenOutcome)> done);
    // The lots the filter takes, in that order. A later Query supersedes this one: a query
    // under way is interrupted, and a superseded one never answers. Returns its generation.
    std::uint64_t Query(store::TradeFilter filter, store::LotOrder order,
                        std::function<void(QueryOutcome)> done);
    // The rows of a visible range of the query of that generation; dropped once a later query
    // is asked for.
    void Rows(std::uint64_t generation, std::vector<std::int64_t> lotIds,
              std::function<void(RowsOutcome)> done);
    // The lot's trade with its lots and history, and the lot's prices over the runs. A later
    // request supersedes one still waiting.
    void Details(std::int64_t lotId, std::function<void(DetailsOutcome)> done);

    // The store's watches with the number of news each has that the window has not shown.
    void Watches(std::function<void(WatchesOutcome)> done);
    // The watch's news after the window's position; the position then moves past them, through
    // a short connection of its own that writes, so that they count as seen.
    void SeeWatch(std::string name, std::function<void(SeenOutcome)> done);
    // A new watch that starts now, written through a short connection of its own.
    void AddWatch(watch::Watch watch, std::function<void(WatchSaved)> done);

private:
    enum class Kind { Open, Query, Rows, Details, Watch };
    struct Task {
        Kind kind;
        std::uint64_t generation;  // of a query, and of the query rows belong to
        std::function<void(std::unique_ptr<store::LotBrowser>&)> run;
    };

    void Push(Task task);
    void Loop();
    bool Stale(const Task& task) const;

    Post post_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Task> tasks_;
    bool stopping_ = false;
    std::uint64_t latestQuery_ = 0;
    std::uint64_t latestDetails_ = 0;
    // The store as the thread reads it, and whether a query runs on it; swapped and interrupted
    // under mutex_.
    std::unique_ptr<store::LotBrowser> browser_;
    bool querying_ = false;
    std::filesystem::path path_;  // of the store open; the thread's alone
    std::thread thread_;
};

}  // namespace korvalot::app::browser
