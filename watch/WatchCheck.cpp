#include "watch/WatchCheck.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>

#include "util/FileDescriptor.h"
#include "watch/WatchBook.h"
#include "watch/WatchError.h"
#include "watch/WatchNews.h"

namespace korvalot::watch {
namespace {

using Kind = notify::DeliveryOutcome::Kind;

// Held while a check sends: a second check of the same store (a harvest's --notify beside a
// timer's korvalot-watch check) waits for it and then finds the cuts moved on, instead of
// reading the same cuts and sending the same news again. flock, which the system releases when
// the process ends in any way; a file of its own, since closing any descriptor of the database
// file would drop SQLite's own locks.
class CheckLock {
public:
    explicit CheckLock(const std::filesystem::path& store) {
        const std::string path = store.string() + "-watch.lock";
        fd_ = util::FileDescriptor(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
        if (!fd_.IsOpen())
            throw WatchError("наблюдения не проверены: " + path + ": " + std::strerror(errno));
        while (::flock(fd_.Get(), LOCK_EX) != 0) {
            if (errno != EINTR)
                throw WatchError("наблюдения не проверены: " + path + ": " + std::strerror(errno));
        }
    }

private:
    util::FileDescriptor fd_;
};

std::string Quoted(const std::string& name) {
    return "\"" + name + "\"";
}

}  // namespace

bool CheckReport::Failed() const {
    for (const Delivery& delivery : deliveries) {
        if (delivery.outcome.kind != Kind::Delivered)
            return true;
    }
    return false;
}

std::string KindName(notify::NewsKind kind) {
    switch (kind) {
        case notify::NewsKind::NewLot:
            return "новый лот";
        case notify::NewsKind::PriceBelow:
            return "цена ниже порога";
        case notify::NewsKind::PriceDrop:
            return "цена снизилась";
        case notify::NewsKind::OutcomeKnown:
            return "известен итог";
        case notify::NewsKind::ResultsDateChanged:
            return "изменилась дата результатов";
    }
    return {};
}

CheckReport CheckWatches(store::Database& db, const std::vector<Watch>& watches,
                         const ChannelMaker& makeChannels, const CheckLog& log,
                         std::function<std::chrono::system_clock::time_point()> clock) {
    CheckReport report;
    if (watches.empty())
        return report;
    const CheckLock lock(db.Path());
    WatchBook book(db, std::move(clock));
    for (const Watch& watch : watches) {
        std::vector<std::unique_ptr<notify::Channel>> channels;
        try {
            channels = makeChannels(watch.channels);
        } catch (const WatchError& e) {
            for (const std::string& name : watch.channels) {
                report.deliveries.push_back({watch.name, name, 0, {Kind::Refused, e.what()}});
            }
            log("Наблюдение " + Quoted(watch.name) + ": " + e.what());
            continue;
        }
        // The news of every channel from one read of the store, up to one cut.
        Cut upTo;
        std::vector<notify::WatchNews> news(watch.channels.size());
        {
            NewsReader reader(db);
            upTo = reader.Now();
            std::map<std::pair<std::int64_t, std::int64_t>, std::vector<notify::NewsItem>> byCut;
            for (std::size_t k = 0; k < watch.channels.size(); ++k) {
                const Cut from = book.Delivered(watch, watch.channels[k]);
                auto found = byCut.find({from.trade, from.change});
                if (found == byCut.end())
                    found =
                        byCut.emplace(std::pair{from.trade, from.change}, reader.Since(watch, from))
                            .first;
                news[k] = {watch.id, watch.name, found->second, upTo.change};
            }
        }
        for (std::size_t k = 0; k < watch.channels.size() && k < channels.size(); ++k) {
            const std::string& name = watch.channels[k];
            Delivery delivery{watch.name, name, news[k].items.size(), {Kind::Delivered, {}}};
            if (!news[k].items.empty())
                delivery.outcome = channels[k]->Deliver(news[k]);
            if (delivery.outcome.kind == Kind::Delivered) {
                book.MarkDelivered(watch, name, upTo);
                if (delivery.items > 0)
                    log("Наблюдение " + Quoted(watch.name) + ", канал " + name +
                        ": доставлено новостей: " + std::to_string(delivery.items));
            } else {
                log("Наблюдение " + Quoted(watch.name) + ", канал " + name +
                    ": не доставлено (новостей: " + std::to_string(delivery.items) +
                    "), повтор при следующей проверке: " + delivery.outcome.message);
            }
            report.deliveries.push_back(std::move(delivery));
        }
    }
    return report;
}

CheckReport TestChannels(const Watch& watch, const ChannelMaker& makeChannels,
                         const CheckLog& log) {
    CheckReport report;
    std::vector<std::unique_ptr<notify::Channel>> channels;
    try {
        channels = makeChannels(watch.channels);
    } catch (const WatchError& e) {
        for (const std::string& name : watch.channels)
            report.deliveries.push_back({watch.name, name, 0, {Kind::Refused, e.what()}});
        log("Наблюдение " + Quoted(watch.name) + ": " + e.what());
        return report;
    }
    for (std::size_t k = 0; k < watch.channels.size() && k < channels.size(); ++k) {
        Delivery delivery{watch.name, watch.channels[k], 0, channels[k]->Test(watch.name)};
        log("Наблюдение " + Quoted(watch.name) + ", канал " + watch.channels[k] + ": " +
            (delivery.outcome.kind == Kind::Delivered
                 ? "пробное сообщение доставлено"
                 : "пробное сообщение не доставлено: " + delivery.outcome.message));
        report.deliveries.push_back(std::move(delivery));
    }
    return report;
}

notify::WatchNews PendingNews(store::Database& db, const Watch& watch) {
    WatchBook book(db);
    NewsReader reader(db);
    Cut from = reader.Now();
    for (const std::string& channel : watch.channels) {
        const Cut cut = book.Delivered(watch, channel);
        from = {std::min(from.trade, cut.trade), std::min(from.change, cut.change)};
    }
    if (watch.channels.empty())
        from = watch.start;
    return {watch.id, watch.name, reader.Since(watch, from), reader.Now().change};
}

}  // namespace korvalot::watch
