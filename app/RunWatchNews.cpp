#include "app/RunWatchNews.h"

#include <algorithm>
#include <chrono>

#include "store/StoreError.h"
#include "store/TradeStore.h"
#include "watch/WatchBook.h"
#include "watch/WatchError.h"
#include "watch/WatchNews.h"

namespace korvalot::app {
namespace {

// The run itself holds the store for its writes; a reader waits no longer than one of them.
constexpr std::chrono::seconds kBusyWait{10};

}  // namespace

RunWatchNews::RunWatchNews(std::filesystem::path store) : store_(std::move(store)) {}

void RunWatchNews::Begin() {
    try {
        const std::unique_ptr<store::Database> db = store::OpenStoreForReading(store_, kBusyWait);
        begin_ = watch::WatchBook(*db).Now();
    } catch (const store::StoreError& e) {
        beginError_ = e.what();
    }
}

WatchNewsCount RunWatchNews::End() {
    WatchNewsCount count;
    if (!begin_) {
        count.error = beginError_;
        return count;
    }
    try {
        const std::unique_ptr<store::Database> db = store::OpenStoreForReading(store_, kBusyWait);
        const std::vector<watch::Watch> watches = watch::WatchBook(*db).List();
        watch::NewsReader reader(*db);
        for (const watch::Watch& w : watches) {
            const watch::Cut from{std::max(begin_->trade, w.start.trade),
                                  std::max(begin_->change, w.start.change)};
            count.items += reader.Since(w, from).size();
        }
    } catch (const store::StoreError& e) {
        count = {0, e.what()};
    } catch (const watch::WatchError& e) {
        count = {0, e.what()};
    }
    return count;
}

}  // namespace korvalot::app
