// A month of daily harvests with --notify against a register that moves on: every watch's news of
// each day, through the standard output, a webhook and mail, equal to what the register's truth
// of consecutive days predicts by the rules of the news; nothing twice and nothing missed, also
// across a day when the webhook's receiver is down and one when it refuses the token, and a day
// when the mail server is down and one when it refuses the login.
//
// The month: the simulator's June with today moving from the 2nd to the 30th in steps of four
// days (eight harvest days), its trades growing from 100 by 12 a step (new trades are published
// on past and future days alike), two regions and two trade types, so that the whole month runs
// in about a minute. Each day is what a user's daily job runs: an incremental harvest of the
// month's trade days, then a refresh of the open trades, both with --notify.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <map>
#include <optional>
#include <set>

#include "crawl/fakes/TempDir.h"
#include "json/JsonValue.h"
#include "store/Database.h"
#include "tools/register-sim/SimProcess.h"
#include "util/Platform.h"
#include "watch/WatchPrograms.h"

namespace korvalot {
namespace {

using crawl::testing_support::TempDir;
using nlohmann::json;
using testing::HeardNews;
using testing::MailServer;
using testing::ProgramOutcome;
using testing::WebhookReceiver;
namespace fs = std::filesystem;

constexpr const char* kToken = "month-hook-token";
constexpr const char* kMailUser = "korvalot";
constexpr const char* kMailPassword = "месяц-пароль-7";
constexpr const char* kRegions = "77,23";
constexpr const char* kTypes = "OpenAuction,PublicOffer";
const std::vector<std::string> kDays = {"2026-06-02", "2026-06-06", "2026-06-10", "2026-06-14",
                                        "2026-06-18", "2026-06-22", "2026-06-26", "2026-06-30"};
constexpr int kFirstTrades = 100;
constexpr int kTradesPerStep = 12;

// What the webhook's receiver does on a day.
enum class Hook { Up, Down, Refuses };
Hook HookOn(std::size_t day) {
    return day == 3 ? Hook::Down : day == 5 ? Hook::Refuses : Hook::Up;
}

// What the mail server does on a day: down (its port refused), or started with a password the
// secrets file does not have. Each is followed by a good day, unlike the webhook's.
enum class Mail { Up, Down, Refuses };
Mail MailOn(std::size_t day) {
    return day == 2 ? Mail::Down : day == 6 ? Mail::Refuses : Mail::Up;
}

const char* Shown(Hook h) {
    return h == Hook::Up ? "up" : h == Hook::Down ? "down" : "401";
}

const char* Shown(Mail m) {
    return m == Mail::Up ? "up" : m == Mail::Down ? "down" : "535";
}

// The watches of the month, as korvalot-watch adds them, and what the test needs of each to
// predict its news.
struct WatchSpec {
    std::string name;
    std::vector<std::string> options;
    std::optional<std::string> region;
    bool flats = false;  // the word "квартира" in the lot's description
    std::optional<double> below;
    std::optional<double> drop;
};

const std::vector<WatchSpec>& Watches() {
    static const std::vector<WatchSpec> watches = {
        {"Москва ниже миллиона",
         {"--regions", "77", "--below", "1000000"},
         "77",
         false,
         1000000.0,
         std::nullopt},
        {"Квартиры", {"--words", "квартира"}, std::nullopt, true, std::nullopt, std::nullopt},
        {"Краснодар минус 20 %",
         {"--regions", "23", "--drop", "20"},
         "23",
         false,
         std::nullopt,
         20.0},
    };
    return watches;
}

const std::vector<std::string> kChannels = {"вывод", "webhook", "почта"};

// A price as the store keeps its text (the engine's text of the lots answer's value, "null" for
// null, as the results file shows it) and its number; null has no number.
struct Price {
    std::string text;
    std::optional<double> value;
};

Price PriceOf(const json& v) {
    Price p;
    p.text = ::korvalot::json::Parse("{\"v\":" + v.dump() + "}").MemberText("v");
    if (v.is_null())
        return p;
    if (v.is_number()) {
        p.value = v.get<double>();
    } else {
        const std::string s = v.get<std::string>();
        double parsed = 0;
        if (std::from_chars(s.data(), s.data() + s.size(), parsed).ec == std::errc())
            p.value = parsed;
    }
    return p;
}

// One lot of the register on one day.
struct LotTruth {
    Price price;
    bool winner = false;
};

struct TradeTruth {
    std::string region;
    std::vector<LotTruth> lots;
};

std::map<std::string, TradeTruth> Truth(const tools::SimProcess& sim) {
    std::map<std::string, TradeTruth> trades;
    const json list = json::parse(
        sim.Get(std::string("/sim/truth?outcomes=1&regions=") + kRegions + "&types=" + kTypes)
            .body);
    for (const json& t : list) {
        TradeTruth& trade = trades[t.at("guid")];
        trade.region = t.at("regionCode");
        for (const json& lot : t.at("lotOutcomes"))
            trade.lots.push_back(
                {PriceOf(lot.at("currentPrice")),
                 !lot.at("winnerName").is_null() || !lot.at("winnerInn").is_null()});
    }
    return trades;
}

// Whether the text holds the word as a word of its own, in either letter case of its first
// letter (as the register writes the word).
bool HasWord(const std::string& text, const std::string& lower, const std::string& capital) {
    const auto isLetter = [](unsigned char c) {
        return c >= 0x80 || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    };
    for (const std::string& word : {lower, capital}) {
        for (std::size_t at = text.find(word); at != std::string::npos;
             at = text.find(word, at + 1)) {
            const std::size_t end = at + word.size();
            if ((at == 0 || !isLetter(static_cast<unsigned char>(text[at - 1]))) &&
                (end == text.size() || !isLetter(static_cast<unsigned char>(text[end]))))
                return true;
        }
    }
    return false;
}

// Whether each lot of the trade speaks of a flat, by the register's own lots answer.
std::vector<bool> FlatLots(const tools::SimProcess& sim, const std::string& guid) {
    std::vector<bool> flats;
    for (std::size_t offset = 0;; offset += 50) {
        const json page = json::parse(sim.Get("/backend/biddings/" + guid + "/lots?offset=" +
                                              std::to_string(offset) + "&limit=50")
                                          .body);
        for (const json& lot : page.at("pageData"))
            flats.push_back(HasWord(lot.value("tradeObject", ""), "квартира", "Квартира"));
        if (flats.size() >= page.at("found").get<std::size_t>() || page.at("pageData").empty())
            return flats;
    }
}

// One piece of news predicted: the kind as the channels title it, the lot, the change's words.
struct Predicted {
    std::string kind;
    std::string guid;
    std::size_t position = 0;
    std::string change;
};

// What a watch knows of a lot: the state its news follow, as the rules of the news keep it.
struct LotMemory {
    Price price;
    bool below = false;
    std::optional<double> reported;
    std::string reportedText;
    bool closed = false;
};

LotMemory FirstMet(const WatchSpec& watch, const LotTruth& lot) {
    LotMemory m;
    m.price = lot.price;
    m.below = watch.below && lot.price.value && *lot.price.value < *watch.below;
    m.reported = lot.price.value;
    m.reportedText = lot.price.text;
    m.closed = lot.price.value && lot.winner;
    return m;
}

// The news of one stored change of a lot, from `m` to `now`, and the state after it.
void Follow(const WatchSpec& watch, LotMemory& m, const LotTruth& now, const std::string& guid,
            std::size_t position, std::vector<Predicted>& news) {
    const Price before = m.price;
    m.price = now.price;
    if (now.price.value && now.price.text != before.text) {
        const double price = *now.price.value;
        if (watch.below) {
            if (price < *watch.below && !m.below)
                news.push_back({"цена ниже порога", guid, position,
                                testing::ChangeWords(before.text, now.price.text)});
            m.below = price < *watch.below;
        }
        if (watch.drop) {
            if (m.reported && price * 100 <= *m.reported * (100 - *watch.drop)) {
                news.push_back({"цена снизилась", guid, position,
                                testing::ChangeWords(m.reportedText, now.price.text)});
                m.reported = price;
                m.reportedText = now.price.text;
            } else if (!m.reported) {
                m.reported = price;
                m.reportedText = now.price.text;
            }
        }
    }
    const bool closed = now.price.value && now.winner;
    if (closed && !m.closed)
        news.push_back(
            {"известен итог", guid, position, testing::ChangeWords(std::nullopt, now.price.text)});
    m.closed = closed;
}

using Tally = std::map<std::string, int>;  // a piece of news as text -> how often

// Lots of one trade may begin alike, so the description counts whole, though only its start is
// shown.
std::string Key(const std::string& watch, const std::string& kind, const std::string& guid,
                const std::string& description, const std::string& change) {
    return watch + " | " + kind + " | " + guid + " | " + description.substr(0, 60) + " #" +
           std::to_string(std::hash<std::string>()(description) % 100000) + " | " + change;
}

Tally Count(const std::vector<HeardNews>& heard) {
    Tally t;
    for (const HeardNews& n : heard)
        ++t[Key(n.watch, n.kind, n.guid, n.description, n.change)];
    return t;
}

// The pieces one tally has more often than the other, one a line.
std::string Surplus(const Tally& of, const Tally& over) {
    std::string out;
    for (const auto& [key, n] : of) {
        const auto found = over.find(key);
        const int more = n - (found == over.end() ? 0 : found->second);
        if (more > 0)
            out += std::to_string(more) + " x " + key + "\n";
    }
    return out;
}

// The text followed by spaces up to `width` characters.
std::string Padded(const std::string& text, std::size_t width) {
    std::size_t characters = 0;
    for (const char c : text)
        characters += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return text + std::string(width > characters ? width - characters : 0, ' ');
}

int Total(const Tally& t) {
    int n = 0;
    for (const auto& [key, count] : t)
        n += count;
    return n;
}

Tally Of(const Tally& all, const std::string& watch) {
    Tally t;
    for (const auto& [key, n] : all) {
        if (key.starts_with(watch + " | "))
            t[key] = n;
    }
    return t;
}

class WatchMonthTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(::system(("'" + tools::SimProcess::DefaultBinary() + "' --write-client-cert '" +
                            dir_.path().string() + "'")
                               .c_str()),
                  0);
    }
    // The register on that day of the month, always on the same port, so that the card links
    // the store keeps still name its trades.
    std::unique_ptr<tools::SimProcess> StartSim(std::size_t day) {
        auto sim = std::make_unique<tools::SimProcess>(std::vector<std::string>{
            "--port", std::to_string(port_), "--trades",
            std::to_string(kFirstTrades + kTradesPerStep * static_cast<int>(day)), "--seed", "7",
            "--from", "2026-06-01", "--to", "2026-06-30", "--today", kDays[day],
            "--require-client-cert"});
        port_ = sim->Port();
        return sim;
    }
    ProgramOutcome Harvest(const std::string& url, std::vector<std::string> args) const {
        args.insert(args.end(),
                    {"-r", kRegions, "-T", kTypes, "-o", "results", "--store", "korvalot.sqlite"});
        return testing::RunProgram(HARVEST_PATH, dir_.path(), url, args);
    }
    // The store's description of every lot, by trade and position: how the channels name a lot.
    std::map<std::pair<std::string, std::size_t>, std::string> Descriptions() const {
        store::Database db(dir_ / "korvalot.sqlite", store::Database::Mode::ReadOnly);
        store::Statement query(db,
                               "SELECT t.guid, l.position, l.description FROM lots l "
                               "JOIN trades t ON t.id = l.trade_id");
        std::map<std::pair<std::string, std::size_t>, std::string> descriptions;
        while (query.Step())
            descriptions[{std::string(query.Text(0)), static_cast<std::size_t>(query.Int(1))}] =
                query.Text(2);
        return descriptions;
    }
    TempDir dir_;
    int port_ = 0;
};

TEST_F(WatchMonthTest, EveryDayDeliversWhatTheRegisterPredictsOnceThroughEveryChannel) {
    // Trades by a day far enough in the past to be open still count as open, whatever today is.
    const auto today = std::chrono::sys_days(util::LocalToday());
    const auto first = std::chrono::sys_days(std::chrono::year_month_day(
        std::chrono::year(2026), std::chrono::month(6), std::chrono::day(1)));
    const std::string refreshDays = std::to_string((today - first).count() + 30);

    std::map<std::string, TradeTruth> known;         // the register as last harvested
    std::map<std::string, std::vector<bool>> flats;  // by trade, lot by lot
    // By watch, trade and position.
    std::map<std::string, std::map<std::pair<std::string, std::size_t>, LotMemory>> memory;
    const auto matches = [&](const WatchSpec& w, const std::string& guid, std::size_t position) {
        return (!w.region || known.at(guid).region == *w.region) &&
               (!w.flats || flats.at(guid).at(position));
    };

    // Day one: the store as it starts, then the watches, which take what it holds for known.
    {
        const auto sim = StartSim(0);
        known = Truth(*sim);
        for (const auto& [guid, trade] : known)
            flats[guid] = FlatLots(*sim, guid);
        const ProgramOutcome o =
            Harvest(sim->BaseUrl(), {"-f", "2026-06-01", "-t", "2026-06-30", "-i"});
        ASSERT_EQ(o.status, 0) << o.err;
    }
    std::optional<WebhookReceiver> receiver(std::in_place);
    std::optional<MailServer> mailServer(std::in_place, "starttls", kMailUser, kMailPassword);
    // Where channels.ini sends, kept when a server goes down.
    std::string hookUrl = receiver->Url();
    fs::path hookCertificate = dir_ / "webhook.pem";
    testing::MailPlace mailPlace{mailServer->Port(), dir_ / "mail.pem", kMailUser, kMailPassword};
    fs::copy_file(receiver->Certificate(), hookCertificate);
    fs::copy_file(mailServer->Certificate(), mailPlace.certificate);
    const auto writeSettings = [&] {
        testing::WriteChannelSettings(dir_.path(), hookUrl, hookCertificate, kToken, mailPlace);
    };
    writeSettings();
    for (const WatchSpec& w : Watches()) {
        std::vector<std::string> args = {
            "add", w.name, "--channels", "вывод,webhook,почта", "--store", "korvalot.sqlite"};
        args.insert(args.end(), w.options.begin(), w.options.end());
        const ProgramOutcome o = testing::RunProgram(WATCH_PATH, dir_.path(), "", args);
        ASSERT_EQ(o.status, 0) << o.err;
        for (const auto& [guid, trade] : known) {
            for (std::size_t p = 0; p < trade.lots.size(); ++p) {
                if (matches(w, guid, p))
                    memory[w.name][{guid, p}] = FirstMet(w, trade.lots[p]);
            }
        }
    }

    std::optional<WebhookReceiver> refusing;
    std::optional<MailServer> mailRefusing;
    int heardBefore = 0;   // the requests of the receiver that takes them, counted so far
    int mailedBefore = 0;  // the mails of the server that takes them, counted so far
    bool mimeChecked = false;
    // By channel: what was predicted and not yet delivered, and the month's totals.
    std::map<std::string, Tally> pending, predictedAll, deliveredAll;
    std::string table =
        "day        webhook mail | watch: predicted, delivered by вывод, webhook, почта\n";
    for (std::size_t day = 1; day < kDays.size(); ++day) {
        SCOPED_TRACE(kDays[day]);
        const Hook hook = HookOn(day);
        const Mail mail = MailOn(day);
        const auto useCertificate = [](const fs::path& from, const fs::path& to) {
            fs::copy_file(from, to, fs::copy_options::overwrite_existing);
        };
        if (hook == Hook::Down) {
            receiver.reset();  // channels.ini still names its port, where nothing listens now
        } else if (hook == Hook::Refuses) {
            refusing.emplace("401:{\"ok\":false,\"description\":\"Unauthorized\"}");
            hookUrl = refusing->Url();
            useCertificate(refusing->Certificate(), hookCertificate);
        } else {
            if (!receiver) {
                receiver.emplace();
                heardBefore = 0;
            }
            hookUrl = receiver->Url();
            useCertificate(receiver->Certificate(), hookCertificate);
        }
        if (mail == Mail::Down) {
            mailServer.reset();  // its port refuses now
        } else if (mail == Mail::Refuses) {
            mailRefusing.emplace("starttls", kMailUser, "другой-пароль-8");
            mailPlace.port = mailRefusing->Port();
            useCertificate(mailRefusing->Certificate(), mailPlace.certificate);
        } else {
            if (!mailServer) {
                mailServer.emplace("starttls", kMailUser, kMailPassword);
                mailedBefore = 0;
            }
            mailPlace.port = mailServer->Port();
            useCertificate(mailServer->Certificate(), mailPlace.certificate);
        }
        writeSettings();
        // The mail's news left from the days it did not take, by watch, which the first run of
        // the day must send in one mail per watch.
        const bool mailRecovers = mail == Mail::Up && day > 1 && MailOn(day - 1) != Mail::Up;
        const Tally carried = mailRecovers ? pending["почта"] : Tally{};

        const auto sim = StartSim(day);
        const std::map<std::string, TradeTruth> truth = Truth(*sim);
        std::map<std::string, std::vector<Predicted>> news;  // by watch
        for (const auto& [guid, trade] : truth) {
            const auto was = known.find(guid);
            if (was == known.end()) {
                known[guid] = trade;
                flats[guid] = FlatLots(*sim, guid);
                for (const WatchSpec& w : Watches()) {
                    for (std::size_t p = 0; p < trade.lots.size(); ++p) {
                        if (!matches(w, guid, p))
                            continue;
                        news[w.name].push_back({"новый лот", guid, p, ""});
                        memory[w.name][{guid, p}] = FirstMet(w, trade.lots[p]);
                    }
                }
                continue;
            }
            ASSERT_EQ(was->second.lots.size(), trade.lots.size()) << guid;
            for (std::size_t p = 0; p < trade.lots.size(); ++p) {
                const LotTruth& before = was->second.lots[p];
                const LotTruth& now = trade.lots[p];
                if (before.price.text == now.price.text && before.winner == now.winner)
                    continue;
                for (const WatchSpec& w : Watches()) {
                    if (matches(w, guid, p))
                        Follow(w, memory[w.name].at({guid, p}), now, guid, p, news[w.name]);
                }
            }
            was->second = trade;
        }

        // The user's daily job.
        const std::vector<std::string> notify = {"--notify", "--channels-file", "channels.ini"};
        std::vector<std::string> harvest = {"-f", "2026-06-01", "-t", "2026-06-30", "-i"};
        harvest.insert(harvest.end(), notify.begin(), notify.end());
        std::vector<std::string> refresh = {"--refresh", "--refresh-days", refreshDays};
        refresh.insert(refresh.end(), notify.begin(), notify.end());
        std::vector<HeardNews> printed;
        std::vector<HeardNews> mailed;
        bool mailNamedFailed = false;
        for (const bool first : {true, false}) {
            const std::vector<std::string>& args = first ? harvest : refresh;
            const ProgramOutcome o = Harvest(sim->BaseUrl(), args);
            // A run with news for a channel that does not take them names it and ends with 1.
            const bool hookFailed =
                o.err.find(", канал webhook: не доставлено") != std::string::npos;
            const bool mailFailed = o.err.find(", канал почта: не доставлено") != std::string::npos;
            EXPECT_EQ(o.status, hookFailed || mailFailed ? 1 : 0) << args[0] << "\n" << o.err;
            EXPECT_TRUE(hook != Hook::Up || !hookFailed) << args[0] << "\n" << o.err;
            EXPECT_TRUE(mail != Mail::Up || !mailFailed) << args[0] << "\n" << o.err;
            mailNamedFailed = mailNamedFailed || mailFailed;
            // Each line that names the mail says why: the port refused is for later, the login
            // refused is the server's answer.
            const std::string why = mail == Mail::Down ? "не отправлено, повтор позже"
                                                       : "отказал во входе пользователю korvalot";
            for (std::size_t at = o.err.find(", канал почта: не доставлено");
                 at != std::string::npos; at = o.err.find(", канал почта: не доставлено", at + 1)) {
                const std::string line = o.err.substr(at, o.err.find('\n', at) - at);
                EXPECT_NE(line.find(why), std::string::npos) << line;
                EXPECT_EQ(line.find(kMailPassword), std::string::npos) << line;
            }
            try {
                for (HeardNews& n : testing::StandardOutputNews(o.out))
                    printed.push_back(std::move(n));
            } catch (const std::exception& e) {
                ADD_FAILURE() << e.what() << "\n" << o.out;
            }
            if (mail != Mail::Up)
                continue;
            // This run's mails: one a watch at most, and after the days the mail did not take
            // them, the first run's mail of each watch holds all it missed.
            std::map<std::string, int> mailsOf;
            std::map<std::string, Tally> runMailed;
            for (; mailedBefore < mailServer->Count(); ++mailedBefore) {
                const json received = mailServer->Received(mailedBefore);
                EXPECT_TRUE(received["tls"].get<bool>());
                EXPECT_EQ(received["mail_from"], testing::kMailFrom);
                EXPECT_EQ(received["rcpt_tos"], json::array({testing::kMailTo}));
                EXPECT_TRUE(received["defects"].empty()) << received["defects"];
                if (!mimeChecked) {
                    // The mail as a mail reader shows it.
                    mimeChecked = true;
                    EXPECT_EQ(received["mime_version"], "1.0");
                    EXPECT_EQ(received["content_type"], "multipart/alternative");
                    ASSERT_EQ(received["parts"].size(), 2u) << received["parts"];
                    EXPECT_EQ(received["parts"][0]["type"], "text/plain");
                    EXPECT_EQ(received["parts"][1]["type"], "text/html");
                    for (const json& part : received["parts"])
                        EXPECT_EQ(part["charset"], "utf-8");
                    const std::string subject = received["subject"];
                    const std::string raw = received["subject_raw"];
                    EXPECT_TRUE(raw.starts_with("=?UTF-8?")) << raw;
                    const auto named =
                        std::find_if(Watches().begin(), Watches().end(), [&](const WatchSpec& w) {
                            return subject.starts_with("Наблюдение «" + w.name + "»: ");
                        });
                    EXPECT_NE(named, Watches().end()) << subject;
                }
                try {
                    const std::vector<HeardNews> news = testing::MailNews(received);
                    if (!news.empty())
                        ++mailsOf[news.front().watch];
                    for (const HeardNews& n : news) {
                        EXPECT_EQ(n.card, sim->BaseUrl() + "/biddings/" + n.guid);
                        ++runMailed[n.watch][Key(n.watch, n.kind, n.guid, n.description, n.change)];
                        mailed.push_back(n);
                    }
                } catch (const std::exception& e) {
                    ADD_FAILURE() << e.what() << "\n" << received.dump(1);
                }
            }
            for (const auto& [watch, mails] : mailsOf)
                EXPECT_EQ(mails, 1) << watch << ": mails in one run";
            if (first) {
                for (const WatchSpec& w : Watches()) {
                    if (const std::string missed = Surplus(Of(carried, w.name), runMailed[w.name]);
                        !missed.empty())
                        ADD_FAILURE() << "missed before, not in the first mail:\n" << missed;
                }
            }
        }
        if (mail != Mail::Up) {
            EXPECT_TRUE(mailNamedFailed) << "no run named the mail as not delivered";
        }
        if (mail == Mail::Refuses) {
            EXPECT_TRUE(mailRefusing->OfferedLogin());
            EXPECT_EQ(mailRefusing->Count(), 0);
            EXPECT_EQ(mailServer->Count(), mailedBefore);  // still there, but not named
        }
        std::vector<HeardNews> posted;
        if (hook == Hook::Up) {
            for (; heardBefore < receiver->Count(); ++heardBefore) {
                const json request = receiver->Request(heardBefore);
                EXPECT_EQ(request["headers"]["authorization"], std::string("Bearer ") + kToken);
                for (HeardNews& n : testing::WebhookNews(request))
                    posted.push_back(std::move(n));
            }
        }
        if (hook == Hook::Refuses) {
            EXPECT_GT(refusing->Count(), 0) << "the refusing receiver was never asked";
        }

        // The day's predictions, named as the channels name the lots.
        const auto descriptions = Descriptions();
        Tally predicted, predictedMailed;
        for (const auto& [watch, items] : news) {
            for (const Predicted& p : items) {
                const std::string& description = descriptions.at({p.guid, p.position});
                ++predicted[Key(watch, p.kind, p.guid, description, p.change)];
                ++predictedMailed[Key(watch, p.kind, p.guid, testing::AsMailed(description),
                                      p.change)];
            }
        }
        std::map<std::string, Tally> delivered = {
            {"вывод", Count(printed)}, {"webhook", Count(posted)}, {"почта", Count(mailed)}};
        for (const std::string& channel : kChannels) {
            SCOPED_TRACE(channel);
            for (const auto& [key, n] : channel == "почта" ? predictedMailed : predicted) {
                pending[channel][key] += n;
                predictedAll[channel][key] += n;
            }
            const bool takes = channel == "вывод"     ? true
                               : channel == "webhook" ? hook == Hook::Up
                                                      : mail == Mail::Up;
            const Tally expected = takes ? pending[channel] : Tally{};
            if (const std::string more = Surplus(delivered[channel], expected); !more.empty())
                ADD_FAILURE() << "delivered, not expected:\n" << more;
            if (const std::string missed = Surplus(expected, delivered[channel]); !missed.empty())
                ADD_FAILURE() << "expected, not delivered:\n" << missed;
            for (const auto& [key, n] : delivered[channel])
                deliveredAll[channel][key] += n;
            if (takes)
                pending[channel].clear();
        }
        if (hook != Hook::Up) {
            EXPECT_GT(Total(pending["webhook"]), 0) << "a failure day without news tests nothing";
        }
        if (mail != Mail::Up) {
            for (const WatchSpec& w : Watches())
                EXPECT_GT(Total(Of(pending["почта"], w.name)), 0)
                    << w.name << ": a failure day without news tests nothing";
        }

        char line[160];
        std::snprintf(line, sizeof line, "%s %-7s %-4s |", kDays[day].c_str(), Shown(hook),
                      Shown(mail));
        table += line;
        for (const WatchSpec& w : Watches()) {
            std::snprintf(line, sizeof line, " %d: %d, %d, %d, %d |",
                          static_cast<int>(&w - &Watches()[0]) + 1, Total(Of(predicted, w.name)),
                          Total(Of(delivered["вывод"], w.name)),
                          Total(Of(delivered["webhook"], w.name)),
                          Total(Of(delivered["почта"], w.name)));
            table += line;
        }
        table += "\n";
    }

    // Nothing left: a check now sends nothing anywhere.
    const ProgramOutcome o = testing::RunProgram(
        WATCH_PATH, dir_.path(), "",
        {"check", "--store", "korvalot.sqlite", "--channels-file", "channels.ini"});
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(receiver->Count(), heardBefore);
    EXPECT_EQ(mailServer->Count(), mailedBefore);
    EXPECT_TRUE(mimeChecked) << "no mail all month";

    table += "\nwatch                    channel  predicted delivered duplicates missed\n";
    for (const WatchSpec& w : Watches()) {
        for (const std::string& channel : kChannels) {
            const Tally p = Of(predictedAll[channel], w.name);
            const Tally d = Of(deliveredAll[channel], w.name);
            // Delivered more often than predicted, and predicted more often than delivered.
            int duplicates = 0;
            int missed = 0;
            for (const auto& [key, n] : d) {
                const auto found = p.find(key);
                duplicates += std::max(0, n - (found == p.end() ? 0 : found->second));
            }
            for (const auto& [key, n] : p) {
                const auto found = d.find(key);
                missed += std::max(0, n - (found == d.end() ? 0 : found->second));
            }
            char line[200];
            std::snprintf(line, sizeof line, "%9d %9d %10d %6d\n", Total(p), Total(d), duplicates,
                          missed);
            table += Padded("\"" + w.name + "\"", 24) + " " + Padded(channel, 8) + line;
            EXPECT_EQ(duplicates, 0) << w.name << " " << channel;
            EXPECT_EQ(missed, 0) << w.name << " " << channel;
        }
        // Each watch met news of the kinds it follows, or the month proves little of it.
        const Tally p = Of(predictedAll["вывод"], w.name);
        std::set<std::string> kinds;
        for (const auto& [key, n] : p)
            kinds.insert(key.substr(w.name.size() + 3,
                                    key.find(" | ", w.name.size() + 3) - w.name.size() - 3));
        EXPECT_TRUE(kinds.contains("новый лот")) << w.name;
        EXPECT_TRUE(kinds.contains("известен итог")) << w.name;
        if (w.below) {
            EXPECT_TRUE(kinds.contains("цена ниже порога")) << w.name;
        }
        if (w.drop) {
            EXPECT_TRUE(kinds.contains("цена снизилась")) << w.name;
        }
    }
    std::printf("%s", table.c_str());
}

}  // namespace
}  // namespace korvalot
