#include "app/browser/ExportJob.h"

#include "store/LotBrowser.h"
#include "store/StoreError.h"

namespace korvalot::app::browser {
namespace {

// Raised through ExportRows by the progress callback; ExportRows removes its temporary file.
struct Cancelled {};

}  // namespace

ExportJob::ExportJob(Request request, Post post, std::function<void(std::int64_t)> progress,
                     std::function<void(ExportOutcome)> done) {
    thread_ = std::thread([this, request = std::move(request), post = std::move(post),
                           progress = std::move(progress), done = std::move(done)] {
        ExportOutcome outcome;
        try {
            // A connection of its own: the browser's thread goes on with its queries.
            store::LotBrowser reader(request.store);
            outcome.counts = store::ExportRows(reader.Connection(), request.filter, request.output,
                                               request.format, request.decimalSeparator,
                                               store::kWorkbookRows, [&](std::int64_t rows) {
                                                   if (cancelled_)
                                                       throw Cancelled{};
                                                   if (rows % kProgressRows == 0)
                                                       post([progress, rows] { progress(rows); });
                                               });
        } catch (const Cancelled&) {
            outcome.cancelled = true;
        } catch (const store::StoreError& e) {
            outcome.error = e.what();
        } catch (const store::ExportError& e) {
            outcome.error = e.what();
        }
        post([done, outcome = std::move(outcome)] { done(outcome); });
    });
}

ExportJob::~ExportJob() {
    cancelled_ = true;
    thread_.join();
}

}  // namespace korvalot::app::browser
