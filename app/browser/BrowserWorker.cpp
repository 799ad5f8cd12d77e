#include "app/browser/BrowserWorker.h"

#include <algorithm>

#include "store/StoreError.h"
#include "watch/WatchBook.h"
#include "watch/WatchError.h"
#include "watch/WatchNews.h"

namespace korvalot::app::browser {
namespace {

// A store that another process holds (a harvest creating or bringing it up to date) is waited
// for this long before the browser says so: the thread must stay free for the next request.
constexpr std::chrono::milliseconds kOpenWait{2000};

std::vector<std::pair<std::string, std::string>> StoredRegions(store::Database& db) {
    std::vector<std::pair<std::string, std::string>> regions;
    store::Statement query(db, "SELECT code, name FROM regions");
    while (query.Step())
        regions.emplace_back(std::string(query.Text(0)), std::string(query.Text(1)));
    std::sort(regions.begin(), regions.end(),
              [](const auto& a, const auto& b) { return a.second < b.second; });
    return regions;
}

std::string NotOpen() {
    return "хранилище не открыто";
}

// The window reads through the browser's read-only connection; what it writes (a watch, how far
// it has shown a watch's news) goes through a connection of its own, held only for that write,
// so that a harvest writing meanwhile waits no longer than one small transaction.
std::unique_ptr<store::Database> WriteConnection(const std::filesystem::path& path) {
    auto db = std::make_unique<store::Database>(path, store::Database::Mode::ReadWrite);
    db->SetBusyTimeout(kOpenWait);
    return db;
}

}  // namespace

BrowserWorker::BrowserWorker(Post post) : post_(std::move(post)) {
    thread_ = std::thread([this] { Loop(); });
}

BrowserWorker::~BrowserWorker() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        tasks_.clear();
        if (browser_ && querying_)
            browser_->Interrupt();
    }
    wake_.notify_all();
    thread_.join();
}

void BrowserWorker::Push(Task task) {
    {
        std::lock_guard lock(mutex_);
        tasks_.push_back(std::move(task));
    }
    wake_.notify_all();
}

bool BrowserWorker::Stale(const Task& task) const {
    switch (task.kind) {
        case Kind::Query:
        case Kind::Rows:
            return task.generation != latestQuery_;
        case Kind::Details:
            return task.generation != latestDetails_;
        case Kind::Open:
        case Kind::Watch:
            break;
    }
    return false;
}

void BrowserWorker::Loop() {
    for (;;) {
        Task task;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || !tasks_.empty(); });
            if (stopping_)
                return;
            task = std::move(tasks_.front());
            tasks_.pop_front();
            if (Stale(task))
                continue;
            querying_ = task.kind == Kind::Query;
        }
        task.run(browser_);
        std::lock_guard lock(mutex_);
        querying_ = false;
    }
}

void BrowserWorker::Open(std::filesystem::path path, std::function<void(OpenOutcome)> done) {
    Push({Kind::Open, 0,
          [this, path = std::move(path),
           done = std::move(done)](std::unique_ptr<store::LotBrowser>& current) {
              OpenOutcome outcome;
              std::unique_ptr<store::LotBrowser> opened;
              try {
                  opened = std::make_unique<store::LotBrowser>(path, kOpenWait);
                  outcome.regions = StoredRegions(opened->Connection());
                  path_ = path;
              } catch (const store::StoreError& e) {
                  opened.reset();
                  outcome.error = e.what();
              }
              // A store that cannot be read leaves nothing open: no row shown is taken for
              // one of the store the user asked for.
              {
                  std::lock_guard lock(mutex_);
                  std::swap(current, opened);
              }
              opened.reset();
              post_([done, outcome = std::move(outcome)]() mutable { done(std::move(outcome)); });
          }});
}

std::uint64_t BrowserWorker::Query(store::TradeFilter filter, store::LotOrder order,
                                   std::function<void(QueryOutcome)> done) {
    std::uint64_t generation = 0;
    {
        std::lock_guard lock(mutex_);
        generation = ++latestQuery_;
        tasks_.push_back({Kind::Query, generation,
                          [this, generation, filter = std::move(filter), order,
                           done = std::move(done)](std::unique_ptr<store::LotBrowser>& browser) {
                              QueryOutcome outcome;
                              outcome.generation = generation;
                              for (;;) {
                                  try {
                                      if (!browser) {
                                          outcome.error = NotOpen();
                                      } else {
                                          outcome.lotIds = browser->LotIds(filter, order);
                                          outcome.trades = store::CountTrades(outcome.lotIds);
                                      }
                                      break;
                                  } catch (const store::StoreError& e) {
                                      if (e.What() != store::StoreError::Problem::Interrupted) {
                                          outcome.error = e.what();
                                          break;
                                      }
                                      // Meant for an older query that had just ended: this one is
                                      // still wanted and runs again.
                                      std::lock_guard lock(mutex_);
                                      if (stopping_ || generation != latestQuery_)
                                          return;
                                  }
                              }
                              post_([done, outcome = std::move(outcome)]() mutable {
                                  done(std::move(outcome));
                              });
                          }});
        // The query under way is older: it has no reader any more.
        if (browser_ && querying_)
            browser_->Interrupt();
    }
    wake_.notify_all();
    return generation;
}

void BrowserWorker::Rows(std::uint64_t generation, std::vector<std::int64_t> lotIds,
                         std::function<void(RowsOutcome)> done) {
    Push({Kind::Rows, generation,
          [this, generation, lotIds = std::move(lotIds),
           done = std::move(done)](std::unique_ptr<store::LotBrowser>& browser) {
              RowsOutcome outcome;
              outcome.generation = generation;
              try {
                  if (!browser)
                      outcome.error = NotOpen();
                  else
                      outcome.lots = browser->Lots(lotIds);
              } catch (const store::StoreError& e) {
                  outcome.error = e.what();
              }
              outcome.lotIds = lotIds;
              post_([done, outcome = std::move(outcome)]() mutable { done(std::move(outcome)); });
          }});
}

void BrowserWorker::Details(std::int64_t lotId, std::function<void(DetailsOutcome)> done) {
    std::uint64_t generation = 0;
    {
        std::lock_guard lock(mutex_);
        generation = ++latestDetails_;
    }
    Push({Kind::Details, generation,
          [this, lotId, done = std::move(done)](std::unique_ptr<store::LotBrowser>& browser) {
              DetailsOutcome outcome;
              outcome.lotId = lotId;
              try {
                  if (!browser) {
                      outcome.error = NotOpen();
                  } else {
                      outcome.trade = browser->Trade(store::TradeOfLot(lotId));
                      outcome.prices = browser->PriceHistory(lotId);
                  }
              } catch (const store::StoreError& e) {
                  outcome.error = e.what();
              }
              post_([done, outcome = std::move(outcome)]() mutable { done(std::move(outcome)); });
          }});
}

void BrowserWorker::Watches(std::function<void(WatchesOutcome)> done) {
    Push({Kind::Watch, 0,
          [this, done = std::move(done)](std::unique_ptr<store::LotBrowser>& browser) {
              WatchesOutcome outcome;
              try {
                  if (!browser) {
                      outcome.error = NotOpen();
                  } else {
                      store::Database& db = browser->Connection();
                      watch::WatchBook book(db);
                      const std::vector<watch::Watch> watches = book.List();
                      watch::NewsReader reader(db);
                      for (const watch::Watch& w : watches) {
                          const watch::Cut seen = book.Delivered(w, kWindowChannel);
                          outcome.watches.push_back({w, reader.Since(w, seen).size()});
                      }
                  }
              } catch (const store::StoreError& e) {
                  outcome.watches.clear();
                  outcome.error = e.what();
              } catch (const watch::WatchError& e) {
                  outcome.watches.clear();
                  outcome.error = e.what();
              }
              post_([done, outcome = std::move(outcome)]() mutable { done(std::move(outcome)); });
          }});
}

void BrowserWorker::SeeWatch(std::string name, std::function<void(SeenOutcome)> done) {
    Push({Kind::Watch, 0,
          [this, name = std::move(name),
           done = std::move(done)](std::unique_ptr<store::LotBrowser>& browser) {
              SeenOutcome outcome;
              outcome.name = name;
              try {
                  if (!browser) {
                      outcome.error = NotOpen();
                  } else {
                      store::Database& db = browser->Connection();
                      watch::WatchBook book(db);
                      outcome.watch = book.Find(name);
                      if (outcome.watch) {
                          watch::Cut now;
                          {
                              watch::NewsReader reader(db);
                              now = reader.Now();
                              outcome.news = reader.Since(
                                  *outcome.watch, book.Delivered(*outcome.watch, kWindowChannel));
                          }
                          // Only the window's own position moves: the channels' stay where
                          // their deliveries left them.
                          const std::unique_ptr<store::Database> writer = WriteConnection(path_);
                          watch::WatchBook(*writer).MarkDelivered(*outcome.watch, kWindowChannel,
                                                                  now);
                      }
                  }
              } catch (const store::StoreError& e) {
                  outcome.error = e.what();
              } catch (const watch::WatchError& e) {
                  outcome.error = e.what();
              }
              post_([done, outcome = std::move(outcome)]() mutable { done(std::move(outcome)); });
          }});
}

void BrowserWorker::AddWatch(watch::Watch watch, std::function<void(WatchSaved)> done) {
    Push({Kind::Watch, 0,
          [this, watch = std::move(watch),
           done = std::move(done)](std::unique_ptr<store::LotBrowser>& browser) mutable {
              WatchSaved outcome;
              outcome.name = watch.name;
              try {
                  if (!browser) {
                      outcome.error = NotOpen();
                  } else {
                      const std::unique_ptr<store::Database> writer = WriteConnection(path_);
                      // Starts now: what matches already is no news, to the window either.
                      watch::WatchBook(*writer).Add(std::move(watch), false);
                  }
              } catch (const store::StoreError& e) {
                  outcome.error = e.what();
              } catch (const watch::WatchError& e) {
                  outcome.error = e.what();
              }
              post_([done, outcome = std::move(outcome)]() mutable { done(std::move(outcome)); });
          }});
}

}  // namespace korvalot::app::browser
