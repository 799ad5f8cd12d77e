// korvalot-harvest and korvalot-export with the trade store, as real processes against the
// register simulator: the store equals the results file, a register that moved on leaves exactly
// the changes its truth predicts, a refresh fetches exactly the open trades, exports equal
// results files, bad stores stop the program before any request, and kill -9 leaves the store
// consistent with skip.txt.
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <map>
#include <optional>
#include <set>
#include <thread>
#include <tuple>

#include "crawl/ResultsFile.h"
#include "crawl/fakes/TempDir.h"
#include "export/ExportOptions.h"
#include "json/JsonValue.h"
#include "store/Database.h"
#include "store/Schema.h"
#include "store/LotBrowser.h"
#include "store/StoredValues.h"
#include "store/TradeStore.h"
#include "support/FilterCases.h"
#include "support/ReachableCopy.h"
#include "support/ResultsFileReader.h"
#include "tools/register-sim/SimProcess.h"
#include "util/Platform.h"

namespace korvalot {
namespace {

using crawl::testing_support::ReadBytes;
using crawl::testing_support::TempDir;
using crawl::testing_support::WriteBytes;
using nlohmann::json;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr const char* kFirstDay = "2026-06-10";   // the register's today at the first harvest
constexpr const char* kSecondDay = "2026-06-20";  // and some days on

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

// A program started in `dir` with the register at `url`, its output in files there.
class Program {
public:
    struct Settings {
        std::optional<rlim_t> fileSizeLimit;  // a full disk
        bool asNobody;                        // run by another user ("nobody"); false in Settings{}
    };

    Program(const char* binary, const fs::path& dir, const std::string& url,
            const std::vector<std::string>& args, Settings settings = {})
        : dir_(dir) {
        pid_ = ::fork();
        if (pid_ == 0) {
            if (::chdir(dir.c_str()) != 0)
                ::_exit(120);
            const int out = ::open(".stdout", O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int err = ::open(".stderr", O_WRONLY | O_CREAT | O_TRUNC, 0644);
            ::dup2(out, 1);
            ::dup2(err, 2);
            if (settings.fileSizeLimit) {
                // The limit stands for a full disk: writes beyond it fail with EFBIG instead of
                // ending the process.
                ::signal(SIGXFSZ, SIG_IGN);
                const rlimit limit{*settings.fileSizeLimit, *settings.fileSizeLimit};
                if (::setrlimit(RLIMIT_FSIZE, &limit) != 0)
                    ::_exit(123);
            }
            if (settings.asNobody &&
                (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0))
                ::_exit(124);
            ::setenv("KORVALOT_REGISTER_URL", url.c_str(), 1);
            // Prices with a point, whatever the tester's own locale.
            ::setenv("LC_ALL", "C.UTF-8", 1);
            std::vector<char*> argv{const_cast<char*>(binary)};
            for (const auto& arg : args)
                argv.push_back(const_cast<char*>(arg.c_str()));
            argv.push_back(nullptr);
            ::execv(binary, argv.data());
            ::_exit(121);
        }
    }
    ~Program() {
        if (pid_ > 0 && status_ < 0) {
            ::kill(pid_, SIGKILL);
            Wait();
        }
    }
    std::string Err() const { return ReadBytes(dir_ / ".stderr"); }
    void Signal(int signal) const { ::kill(pid_, signal); }
    Outcome Wait() {
        if (status_ < 0) {
            int raw = 0;
            ::waitpid(pid_, &raw, 0);
            status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
        }
        Outcome o{status_, ReadBytes(dir_ / ".stdout"), Err()};
        std::error_code ignored;
        fs::remove(dir_ / ".stdout", ignored);
        fs::remove(dir_ / ".stderr", ignored);
        return o;
    }

private:
    fs::path dir_;
    pid_t pid_ = -1;
    int status_ = -1;
};

Outcome Harvest(const fs::path& dir, const std::string& url, const std::vector<std::string>& args,
                Program::Settings settings = {}) {
    return Program(HARVEST_PATH, dir, url, args, settings).Wait();
}

Outcome Export(const fs::path& dir, const std::vector<std::string>& args) {
    return Program(EXPORT_PATH, dir, "https://127.0.0.1:9", args).Wait();
}

std::vector<fs::path> FilesLike(const fs::path& dir, const std::string& prefix,
                                const std::string& extension) {
    std::vector<fs::path> found;
    for (const auto& entry : fs::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        if (name.starts_with(prefix) && entry.path().extension() == extension)
            found.push_back(entry.path());
    }
    return found;
}

std::size_t Occurrences(const std::string& text, const std::string& piece) {
    std::size_t count = 0;
    for (std::size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1))
        ++count;
    return count;
}

// The "Карточка ...: успешно" lines of a log.
std::size_t CardsDone(const std::string& log) {
    std::size_t count = 0;
    for (std::size_t at = log.find(": Карточка "); at != std::string::npos;
         at = log.find(": Карточка ", at + 1)) {
        const std::size_t end = log.find('\n', at);
        count += log.substr(at, end == std::string::npos ? end : end - at).find(": успешно") !=
                 std::string::npos;
    }
    return count;
}

std::vector<std::vector<std::string>> Records(const fs::path& csv) {
    const auto records = testing::ReadResultsFile(ReadBytes(csv), crawl::ResultsFile::kHeader);
    EXPECT_EQ(records.problem, "") << csv;
    return records.rows;
}

// The rows of a results file by trade guid, in file order.
std::map<std::string, std::vector<std::vector<std::string>>> RowsByTrade(
    const std::vector<std::vector<std::string>>& records) {
    std::map<std::string, std::vector<std::vector<std::string>>> trades;
    for (const auto& record : records)
        trades[record[0].substr(record[0].rfind('/') + 1)].push_back(record);
    return trades;
}

// Reads what a query returns, every column as text (NULL as "<null>").
std::vector<std::vector<std::string>> Query(const fs::path& path, const std::string& sql) {
    store::Database db(path, store::Database::Mode::ReadWrite);
    db.SetBusyTimeout(std::chrono::seconds(5));
    store::Statement statement(db, sql);
    std::vector<std::vector<std::string>> rows;
    while (statement.Step()) {
        std::vector<std::string> row;
        for (int c = 0; c < statement.ColumnCount(); ++c)
            row.push_back(statement.IsNull(c) ? "<null>" : std::string(statement.Text(c)));
        rows.push_back(std::move(row));
    }
    return rows;
}

// A price as a row shows it: the text the engine makes of the lots answer's JSON value.
std::string RowText(const json& value) {
    return ::korvalot::json::Parse("{\"v\":" + value.dump() + "}").MemberText("v");
}

// One change of a stored value: guid, lot position, field, old and new text.
using Change = std::tuple<std::string, std::string, std::string, std::string, std::string>;

// The truth of the selection with the lots' outcomes, by guid.
std::map<std::string, json> Truth(const tools::SimProcess& sim, const std::string& query) {
    const json list = json::parse(sim.Get("/sim/truth?outcomes=1&" + query).body);
    std::map<std::string, json> trades;
    for (const json& trade : list)
        trades[trade.at("guid")] = trade;
    return trades;
}

// The changes a store should record between two truths: every outcome of a lot (of the first
// 50, which the harvest reads) that shows otherwise.
std::set<Change> PredictedChanges(const std::map<std::string, json>& before,
                                  const std::map<std::string, json>& after,
                                  const std::set<std::string>& trades) {
    std::set<Change> changes;
    // As the results file shows them: a double quote there is an apostrophe.
    const auto text = [](const json& value) {
        std::string out = value.is_null() ? std::string() : value.get<std::string>();
        std::replace(out.begin(), out.end(), '"', '\'');
        return out;
    };
    for (const std::string& guid : trades) {
        const json& a = before.at(guid).at("lotOutcomes");
        const json& b = after.at(guid).at("lotOutcomes");
        for (std::size_t k = 0; k < a.size() && k < 50; ++k) {
            const std::string position = std::to_string(k);
            const auto field = [&](const char* name, const std::string& from,
                                   const std::string& to) {
                if (from != to)
                    changes.emplace(guid, position, name, from, to);
            };
            field("Итоговая цена", RowText(a[k].at("currentPrice")),
                  RowText(b[k].at("currentPrice")));
            field("Победитель наименование", text(a[k].at("winnerName")),
                  text(b[k].at("winnerName")));
            field("Победитель ИНН", text(a[k].at("winnerInn")), text(b[k].at("winnerInn")));
        }
    }
    return changes;
}

std::set<Change> RecordedChanges(const fs::path& store, std::int64_t run) {
    std::set<Change> changes;
    for (const auto& row : Query(store,
                                 "SELECT t.guid, c.lot_position, c.field, c.old_value, "
                                 "c.new_value FROM changes c JOIN trades t ON t.id = c.trade_id "
                                 "WHERE c.run_id = " +
                                     std::to_string(run)))
        changes.emplace(row[0], row[1], row[2], row[3], row[4]);
    return changes;
}

// The changes of one set that the other lacks, one per line, for a readable failure.
std::string Missing(const std::set<Change>& from, const std::set<Change>& in) {
    std::string out;
    for (const Change& change : from) {
        if (!in.contains(change)) {
            const auto& [guid, lot, field, before, after] = change;
            out += guid + " lot " + lot + " " + field + ": '" + before + "' -> '" + after + "'\n";
        }
    }
    return out;
}

#define EXPECT_SAME_CHANGES(recorded, predicted)                      \
    do {                                                              \
        const std::set<Change> r = (recorded), p = (predicted);       \
        EXPECT_EQ(Missing(r, p), "") << "recorded but not predicted"; \
        EXPECT_EQ(Missing(p, r), "") << "predicted but not recorded"; \
    } while (false)

std::int64_t LastRun(const fs::path& store) {
    return std::stoll(Query(store, "SELECT max(id) FROM runs")[0][0]);
}

std::set<std::string> Guids(const std::set<Change>& changes) {
    std::set<std::string> guids;
    for (const Change& change : changes)
        guids.insert(std::get<0>(change));
    return guids;
}

class StoreProgramTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(::system(("'" + tools::SimProcess::DefaultBinary() + "' --write-client-cert '" +
                            dir_.path().string() + "'")
                               .c_str()),
                  0);
    }
    // The register on the given day; the same port every time, so that the card links the
    // store keeps still name its trades.
    // trades: more of them make a harvest long enough for the store to commit a batch (at
    // most TradeStore::kBatchAge) before it ends.
    std::unique_ptr<tools::SimProcess> StartSim(const char* today,
                                                std::vector<std::string> more = {},
                                                int trades = 150) {
        std::vector<std::string> args = {"--port",
                                         std::to_string(port_),
                                         "--trades",
                                         std::to_string(trades),
                                         "--seed",
                                         "7",
                                         "--from",
                                         "2026-06-01",
                                         "--to",
                                         "2026-06-30",
                                         "--today",
                                         today,
                                         "--require-client-cert"};
        args.insert(args.end(), more.begin(), more.end());
        auto sim = std::make_unique<tools::SimProcess>(args);
        port_ = sim->Port();
        return sim;
    }
    TempDir dir_;
    int port_ = 0;
};

constexpr const char* kRegions = "77,23";
constexpr const char* kTruthQuery = "regions=77,23";

// A harvest into the store holds every row of the results file with the same texts, and an
// export of it is that results file byte for byte; a workbook export has the two more columns.
// After the register moved on, a second harvest records exactly the changes its truth predicts.
TEST_F(StoreProgramTest, HarvestsIntoTheStoreFollowTheRegisterAndExportAsResultsFiles) {
    const fs::path store = dir_ / "korvalot.sqlite";
    fs::create_directory(dir_ / "first");
    fs::create_directory(dir_ / "second");
    std::map<std::string, json> before;
    {
        const auto sim = StartSim(kFirstDay);
        before = Truth(*sim, kTruthQuery);
        const Outcome o = Harvest(dir_.path(), sim->BaseUrl(),
                                  {"-r", kRegions, "-o", "first", "--store", "korvalot.sqlite"});
        ASSERT_EQ(o.status, 0) << o.err;
        EXPECT_NE(o.err.find(": В хранилище korvalot.sqlite записано торгов: " +
                             std::to_string(before.size()) + ", из них новых: " +
                             std::to_string(before.size()) + ", изменилось: 0 (значений: 0)"),
                  std::string::npos)
            << o.err;
    }
    ASSERT_GT(before.size(), 15u);
    const auto csv = FilesLike(dir_ / "first", "data", ".csv");
    ASSERT_EQ(csv.size(), 1u);

    // The store row for row, every text as the file has it, and the numbers and dates beside
    // them by the column rules.
    const auto file = Records(csv[0]);
    const auto stored = Query(
        store,
        "SELECT t.register_url || '/biddings/' || t.guid, t.region, t.number, t.date_publish, "
        "t.debtor_name, t.debtor_inn, l.property_type, l.description, t.court_name, "
        "l.start_price, l.final_price, t.results_date, l.winner_name, l.winner_inn, "
        "l.start_price_value, l.final_price_value, t.date_publish_iso, t.results_date_iso "
        "FROM trades t JOIN lots l ON l.trade_id = t.id ORDER BY t.id, l.position");
    ASSERT_EQ(stored.size(), file.size());
    for (std::size_t i = 0; i < file.size(); ++i) {
        SCOPED_TRACE(file[i][0]);
        for (std::size_t c = 0; c < 14; ++c)
            EXPECT_EQ(stored[i][c], file[i][c]) << "column " << c + 1;
        const auto number = [](const std::string& value) {
            return value == "<null>" ? std::nullopt : std::optional<double>(std::stod(value));
        };
        EXPECT_EQ(number(stored[i][14]), store::PriceValue(file[i][9], "."));
        EXPECT_EQ(number(stored[i][15]), store::PriceValue(file[i][10], "."));
        EXPECT_EQ(stored[i][16], store::IsoDate(file[i][3]).value_or("<null>"));
        EXPECT_EQ(stored[i][17], store::IsoDate(file[i][11]).value_or("<null>"));
    }

    // The export of the whole store is the results file, byte for byte.
    Outcome o = Export(dir_.path(), {"--store", "korvalot.sqlite", "-o", "all.csv"});
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.err, "korvalot-export: записано строк: " + std::to_string(file.size()) +
                         ", торгов: " + std::to_string(RowsByTrade(file).size()) +
                         ", в файл all.csv\n");
    EXPECT_EQ(ReadBytes(dir_ / "all.csv"), ReadBytes(csv[0]));

    // A filtered export: the results file's rows of that selection, in the same order.
    o = Export(dir_.path(), {"--store", "korvalot.sqlite", "-o", "krasnodar.csv", "--regions", "23",
                             "--types", "openauction,PublicOffer"});
    ASSERT_EQ(o.status, 0) << o.err;
    std::vector<std::vector<std::string>> krasnodar;
    for (const auto& record : file) {
        const std::string guid = record[0].substr(record[0].rfind('/') + 1);
        const std::string type = before.at(guid).at("tradeType");
        if (record[1] == "Краснодарский край" && (type == "OpenAuction" || type == "PublicOffer"))
            krasnodar.push_back(record);
    }
    ASSERT_FALSE(krasnodar.empty());
    EXPECT_EQ(Records(dir_ / "krasnodar.csv"), krasnodar);
    EXPECT_EQ(o.err.find("нет ни одного торга"), std::string::npos) << o.err;

    // A region the store holds no trade of: the empty output is written, and the reason said.
    o = Export(dir_.path(), {"--store", "korvalot.sqlite", "-o", "none.csv", "--regions", "99"});
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.err,
              "korvalot-export: в хранилище нет ни одного торга региона 99\n"
              "korvalot-export: записано строк: 0, торгов: 0, в файл none.csv\n");
    EXPECT_TRUE(Records(dir_ / "none.csv").empty());

    // The workbook export, read back by an independent reader.
    o = Export(dir_.path(), {"--store", "korvalot.sqlite", "-o", "all.xlsx"});
    ASSERT_EQ(o.status, 0) << o.err;
    std::string extras;
    for (const auto& row : Query(store,
                                 "SELECT l.first_seen, coalesce(max(coalesce(t.last_changed, ''), "
                                 "coalesce(l.last_changed, '')), '') FROM trades t JOIN lots l "
                                 "ON l.trade_id = t.id ORDER BY t.id, l.position"))
        extras += row[0] + ";" + row[1] + "\n";
    WriteBytes(dir_ / "extras.txt", extras);
    const std::string compare = std::string("'") + PYTHON_PATH + "' '" + COMPARE_EXPORT_SCRIPT +
                                "' all.csv all.xlsx . extras.txt > compare.txt 2>&1";
    EXPECT_EQ(::system(("cd '" + dir_.path().string() + "' && " + compare).c_str()), 0)
        << ReadBytes(dir_ / "compare.txt");

    // Some days on: the second harvest records exactly what the register now shows otherwise.
    const auto sim = StartSim(kSecondDay);
    const std::map<std::string, json> after = Truth(*sim, kTruthQuery);
    std::set<std::string> trades;
    for (const auto& [guid, trade] : after)
        trades.insert(guid);
    const std::set<Change> predicted = PredictedChanges(before, after, trades);
    ASSERT_GT(predicted.size(), 5u) << "the register did not move on";
    o = Harvest(dir_.path(), sim->BaseUrl(),
                {"-r", kRegions, "-o", "second", "--store", "korvalot.sqlite"});
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_SAME_CHANGES(RecordedChanges(store, LastRun(store)), predicted);
    EXPECT_NE(
        o.err.find("записано торгов: " + std::to_string(trades.size()) +
                   ", из них новых: 0, изменилось: " + std::to_string(Guids(predicted).size()) +
                   " (значений: " + std::to_string(predicted.size()) + ")"),
        std::string::npos)
        << o.err;
    // The store now holds the second results file's rows (in the order first stored).
    o = Export(dir_.path(), {"--store", "korvalot.sqlite", "-o", "again.csv"});
    ASSERT_EQ(o.status, 0) << o.err;
    const auto second = FilesLike(dir_ / "second", "data", ".csv");
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(RowsByTrade(Records(dir_ / "again.csv")), RowsByTrade(Records(second[0])));
    // Changed since the second harvest's day: the rows with a changed value and no other.
    o = Export(dir_.path(),
               {"--store", "korvalot.sqlite", "-o", "changed.csv", "--changed-since", "today"});
    ASSERT_EQ(o.status, 0) << o.err;
    std::set<std::pair<std::string, std::string>> changedLots;
    for (const Change& change : predicted)
        changedLots.emplace(std::get<0>(change), std::get<1>(change));
    std::set<std::pair<std::string, std::string>> exported;
    const auto secondRows = RowsByTrade(Records(second[0]));
    for (const auto& [guid, rows] : RowsByTrade(Records(dir_ / "changed.csv"))) {
        const auto& all = secondRows.at(guid);
        for (const auto& row : rows) {
            const auto at = std::find(all.begin(), all.end(), row) - all.begin();
            exported.emplace(guid, std::to_string(at));
        }
    }
    EXPECT_EQ(exported, changedLots);
}

// A refresh fetches, whatever skip.txt says, exactly the stored trades of the selection whose
// outcome is still open, and records what changed; skip.txt stays as it was.
TEST_F(StoreProgramTest, ARefreshFetchesExactlyTheOpenTrades) {
    const fs::path store = dir_ / "korvalot.sqlite";
    std::map<std::string, json> before;
    {
        const auto sim = StartSim(kFirstDay);
        before = Truth(*sim, kTruthQuery);
        const Outcome o = Harvest(dir_.path(), sim->BaseUrl(),
                                  {"-r", kRegions, "-i", "--store", "korvalot.sqlite"});
        ASSERT_EQ(o.status, 0) << o.err;
    }
    const std::string skip = ReadBytes(dir_ / "skip.txt");
    ASSERT_EQ(Occurrences(skip, "\r\n"), before.size());

    // Results dates are the trades' days; trades of days before the cut-off are closed.
    const auto today = std::chrono::sys_days(util::LocalToday());
    const auto cutoff = std::chrono::sys_days(std::chrono::year_month_day(
        std::chrono::year(2026), std::chrono::month(6), std::chrono::day(12)));
    const int days = static_cast<int>((today - cutoff).count());
    std::set<std::string> open;
    for (const auto& [guid, trade] : before) {
        bool unknown = false;
        const json& lots = trade.at("lotOutcomes");
        for (std::size_t k = 0; k < lots.size() && k < 50; ++k) {
            unknown = unknown || lots[k].at("winnerName").is_null() ||
                      lots[k].at("currentPrice").is_null();
        }
        if (unknown && trade.at("tradeDate").get<std::string>() >= "2026-06-12")
            open.insert(guid);
    }
    ASSERT_GT(open.size(), 3u);
    ASSERT_LT(open.size(), before.size());

    const auto sim = StartSim(kSecondDay);
    const std::map<std::string, json> after = Truth(*sim, kTruthQuery);
    fs::create_directory(dir_ / "refresh");
    const Outcome o = Harvest(dir_.path(), sim->BaseUrl(),
                              {"-r", kRegions, "-o", "refresh", "--refresh", "--store",
                               "korvalot.sqlite", "--refresh-days", std::to_string(days)});
    ASSERT_EQ(o.status, 0) << o.err;
    // Every file of a refresh is named as one, none as a harvest's.
    EXPECT_EQ(FilesLike(dir_ / "refresh", "log-refresh-", ".txt").size(), 1u);
    for (const auto& entry : fs::directory_iterator(dir_ / "refresh")) {
        const std::string name = entry.path().filename().string();
        EXPECT_TRUE(name.starts_with(".") || name.find("-refresh-20") != std::string::npos) << name;
    }
    std::set<std::string> fetched;
    const auto guids = FilesLike(dir_ / "refresh", "guids-refresh-", ".txt");
    ASSERT_EQ(guids.size(), 1u);
    for (const std::string& line : util::ReadListFile(guids[0]))
        fetched.insert(line);
    EXPECT_EQ(fetched, open);
    const auto csv = FilesLike(dir_ / "refresh", "data-refresh-", ".csv");
    ASSERT_EQ(csv.size(), 1u);
    std::set<std::string> written;
    for (const auto& [guid, rows] : RowsByTrade(Records(csv[0])))
        written.insert(guid);
    EXPECT_EQ(written, open);

    const std::set<Change> predicted = PredictedChanges(before, after, open);
    EXPECT_SAME_CHANGES(RecordedChanges(store, LastRun(store)), predicted);
    EXPECT_NE(o.err.find(": Обновлено торгов: " + std::to_string(open.size()) +
                         ", изменилось: " + std::to_string(Guids(predicted).size()) +
                         " (значений: " + std::to_string(predicted.size()) + ")"),
              std::string::npos)
        << o.err;
    EXPECT_NE(o.err.find("пропущено по skip.txt: 0"), std::string::npos) << o.err;
    EXPECT_EQ(ReadBytes(dir_ / "skip.txt"), skip);
    EXPECT_EQ(Query(store, "SELECT kind FROM runs ORDER BY id DESC LIMIT 1")[0][0], "refresh");
}

// A store that cannot be used stops korvalot-harvest with one line and exit status 3 before it
// asks the register anything, and the file stays as it was.
TEST_F(StoreProgramTest, ABadStoreStopsTheHarvestBeforeAnyRequest) {
    const auto sim = StartSim(kFirstDay);
    WriteBytes(dir_ / "notes.sqlite", "Это не база данных, а заметки.\n" + std::string(4096, '-'));
    {
        store::Database db(dir_ / "newer.sqlite", store::Database::Mode::ReadWriteCreate);
        db.Execute("PRAGMA user_version = 7");
    }
    { store::TradeStore made(dir_ / "store.sqlite"); }
    { store::TradeStore made(dir_ / "locked.sqlite"); }
    {
        // Random bytes over a page of the runs table, past its header.
        { store::TradeStore made(dir_ / "damaged.sqlite"); }
        const auto at = [&](const char* sql) {
            return std::stoll(Query(dir_ / "damaged.sqlite", sql)[0][0]);
        };
        const auto page = at("PRAGMA page_size");
        const auto root = at("SELECT rootpage FROM sqlite_schema WHERE name = 'runs'");
        std::string bytes = ReadBytes(dir_ / "damaged.sqlite");
        for (auto k = (root - 1) * page + 8; k < root * page; ++k)
            bytes[static_cast<std::size_t>(k)] = static_cast<char>(k * 7919 % 251);
        WriteBytes(dir_ / "damaged.sqlite", bytes);
    }

    // Another process holds the store's write lock.
    int toHolder[2], fromHolder[2];
    ASSERT_EQ(::pipe(toHolder), 0);
    ASSERT_EQ(::pipe(fromHolder), 0);
    const pid_t holder = ::fork();
    if (holder == 0) {
        ::dup2(toHolder[0], 0);
        ::dup2(fromHolder[1], 1);
        ::close(toHolder[1]);
        ::close(fromHolder[0]);
        ::execl(LOCK_HOLDER_PATH, LOCK_HOLDER_PATH, (dir_ / "locked.sqlite").c_str(), nullptr);
        ::_exit(121);
    }
    ::close(toHolder[0]);
    ::close(fromHolder[1]);
    char said[8] = {};
    ASSERT_EQ(::read(fromHolder[0], said, 6), 6);
    ASSERT_EQ(std::string(said), "locked");

    const std::string newer = "записано более новой версией программы (версия схемы 7, эта "
                              "программа знает версии до " +
                              std::to_string(store::kSchemaVersion) + ")";
    const struct {
        const char* file;
        std::string says;
        std::optional<rlim_t> limit;
    } cases[] = {
        {"notes.sqlite", "это не база данных SQLite", std::nullopt},
        {"newer.sqlite", newer, std::nullopt},
        {"damaged.sqlite", "база данных повреждена", std::nullopt},
        {"locked.sqlite", "занято другим процессом", std::nullopt},
        // SQLite does not always keep the system's reason for a failed write.
        {"store.sqlite", "не удалось записать", 1024},
        {"new.sqlite", "не удалось записать", 1024},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        const fs::path path = dir_ / c.file;
        const bool existed = fs::exists(path);
        const std::string bytes = existed ? ReadBytes(path) : "";
        const Outcome o =
            Harvest(dir_.path(), sim->BaseUrl(), {"-r", "77", "--store", c.file}, {c.limit, false});
        EXPECT_EQ(o.status, 3) << o.err;
        EXPECT_TRUE(
            o.err.starts_with("korvalot-harvest: хранилище " + std::string(c.file) + ": " + c.says))
            << o.err;
        EXPECT_EQ(Occurrences(o.err, "\n"), 1u) << o.err;
        EXPECT_TRUE(o.err.ends_with("\n")) << o.err;
        EXPECT_EQ(fs::exists(path), existed);
        if (existed) {
            EXPECT_EQ(ReadBytes(path), bytes);
        }
        EXPECT_FALSE(fs::exists(dir_ / "new.sqlite-wal"));
    }
    ::close(toHolder[1]);
    ::close(fromHolder[0]);
    int raw = 0;
    ::waitpid(holder, &raw, 0);
    EXPECT_TRUE(WIFEXITED(raw) && WEXITSTATUS(raw) == 0);

    // Not one request reached the register, not even the region directory.
    const json stats = json::parse(sim->Get("/sim/stats").body);
    EXPECT_EQ(stats.at("requests"), 0) << stats.dump();

    // The export refuses the same files with its own status and leaves them as they are.
    for (const char* file : {"notes.sqlite", "newer.sqlite", "missing.sqlite"}) {
        SCOPED_TRACE(file);
        const std::string bytes = fs::exists(dir_ / file) ? ReadBytes(dir_ / file) : "";
        const Outcome o = Export(dir_.path(), {"--store", file, "-o", "out.csv"});
        EXPECT_EQ(o.status, 3) << o.err;
        EXPECT_TRUE(o.err.starts_with("korvalot-export: хранилище " + std::string(file) + ": "))
            << o.err;
        EXPECT_EQ(Occurrences(o.err, "\n"), 1u) << o.err;
        EXPECT_EQ(fs::exists(dir_ / file) ? ReadBytes(dir_ / file) : "", bytes);
        EXPECT_FALSE(fs::exists(dir_ / "out.csv"));
    }
}

// Every way a store's place refuses it gives the store's status, 3, in both programs, with one
// line and no file left behind; a store's folder that is missing is made, as the output's is.
TEST_F(StoreProgramTest, ARefusedStorePlaceHasTheStoresStatus) {
    fs::create_directory(dir_ / "adir");
    WriteBytes(dir_ / "a-file", "x");
    WriteBytes(dir_ / "notes.sqlite", "Это не база данных.\n" + std::string(4096, '-'));
    const struct {
        const char* binary;
        std::vector<std::string> args;
        const char* says;
    } cases[] = {
        {HARVEST_PATH, {"-r", "77", "--store", "adir"}, "--store: adir - это папка"},
        {HARVEST_PATH,
         {"-r", "77", "--store", "a-file/s.sqlite"},
         "--store: в папку a-file нельзя записывать: Not a directory"},
        {HARVEST_PATH,
         {"-r", "77", "--store", "a-file/sub/s.sqlite"},
         "--store: папку a-file/sub не создать: Not a directory"},
        {HARVEST_PATH, {"-r", "77", "--store", "notes.sqlite"}, "хранилище notes.sqlite: это не"},
        {EXPORT_PATH, {"--store", "adir", "-o", "x.csv"}, "--store: adir - это папка"},
        {EXPORT_PATH, {"--store", "missing.sqlite", "-o", "x.csv"}, "хранилище missing.sqlite"},
        {EXPORT_PATH, {"--store", "a-file/s.sqlite", "-o", "x.csv"}, "хранилище a-file/s.sqlite"},
        {EXPORT_PATH, {"--store", "notes.sqlite", "-o", "x.csv"}, "хранилище notes.sqlite: это не"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.says);
        const Outcome o = Program(c.binary, dir_.path(), "https://127.0.0.1:9", c.args).Wait();
        EXPECT_EQ(o.status, 3) << o.err;
        EXPECT_NE(o.err.find(c.says), std::string::npos) << o.err;
        EXPECT_EQ(Occurrences(o.err, "\n"), 1u) << o.err;
        EXPECT_TRUE(fs::is_empty(dir_ / "adir"));
        EXPECT_FALSE(fs::exists(dir_ / "x.csv"));
        EXPECT_FALSE(fs::exists(dir_ / "missing.sqlite"));
    }

    // The store is made with its folders before the register is asked for anything.
    const Outcome o = Harvest(dir_.path(), "https://127.0.0.1:9",
                              {"-r", "77", "--store", "made/deeper/s.sqlite"});
    EXPECT_EQ(o.status, 3) << o.err;
    EXPECT_NE(o.err.find("справочник регионов не загружен"), std::string::npos) << o.err;
    EXPECT_EQ(Query(dir_ / "made" / "deeper" / "s.sqlite", "SELECT count(*) FROM trades")[0][0],
              "0");
}

// An incremental harvest whose store another process holds at the start is refused before it
// asks the register anything, and skip.txt stays as it was: it never runs ahead of the store.
TEST_F(StoreProgramTest, AStoreHeldAtTheStartLeavesSkipTxtAsItWas) {
    const auto sim = StartSim(kFirstDay);
    { store::TradeStore made(dir_ / "korvalot.sqlite"); }
    const std::string skip = sim->BaseUrl() + "/biddings/harvested-before\r\n";
    WriteBytes(dir_ / "skip.txt", skip);
    int toHolder[2], fromHolder[2];
    ASSERT_EQ(::pipe(toHolder), 0);
    ASSERT_EQ(::pipe(fromHolder), 0);
    const pid_t holder = ::fork();
    if (holder == 0) {
        ::dup2(toHolder[0], 0);
        ::dup2(fromHolder[1], 1);
        ::close(toHolder[1]);
        ::close(fromHolder[0]);
        ::execl(LOCK_HOLDER_PATH, LOCK_HOLDER_PATH, (dir_ / "korvalot.sqlite").c_str(), nullptr);
        ::_exit(121);
    }
    ::close(toHolder[0]);
    ::close(fromHolder[1]);
    char said[8] = {};
    ASSERT_EQ(::read(fromHolder[0], said, 6), 6);
    const Outcome o = Harvest(
        dir_.path(), sim->BaseUrl(),
        {"-r", kRegions, "-i", "--store", "korvalot.sqlite", "--summary-json", "summary.json"});
    ::close(toHolder[1]);
    ::close(fromHolder[0]);
    ::waitpid(holder, nullptr, 0);
    EXPECT_EQ(o.status, 3) << o.err;
    EXPECT_NE(o.err.find("хранилище korvalot.sqlite: занято другим процессом"), std::string::npos)
        << o.err;
    EXPECT_EQ(ReadBytes(dir_ / "skip.txt"), skip);
    EXPECT_TRUE(FilesLike(dir_.path(), "data", ".csv").empty());
    EXPECT_EQ(json::parse(ReadBytes(dir_ / "summary.json")).at("exitStatus"), 3);
    const json stats = json::parse(sim->Get("/sim/stats").body);
    EXPECT_EQ(stats.at("requests"), 0) << stats.dump();
}

// A store lost in the middle of a harvest (its file meets a full disk) ends the card phase as
// skip.txt's failure does: status 1, a summary that counts what the store committed and names it,
// skip.txt naming only trades the store holds and the results file exactly those skip.txt names.
// The next run harvests the rest, each trade once across the two results files.
TEST_F(StoreProgramTest, AStoreLostDuringTheRunEndsTheHarvestWithWhatItKept) {
    const auto sim = StartSim(kFirstDay);
    const fs::path store = dir_ / "korvalot.sqlite";
    { store::TradeStore made(store); }
    // Two runs into two folders, with one skip.txt and one store.
    const auto args = [](const std::string& folder) {
        return std::vector<std::string>{"-r",
                                        kRegions,
                                        "-i",
                                        "-o",
                                        folder,
                                        "--store",
                                        "korvalot.sqlite",
                                        "--skip-file",
                                        "skip.txt",
                                        "--summary-json",
                                        folder + "/summary.json"};
    };
    // Each trade's commit adds pages to the write-ahead log, which meets the limit after a few
    // trades; the results file, the log and skip.txt stay far below it.
    Program::Settings fullDisk{};
    fullDisk.fileSizeLimit = 256 * 1024;
    Outcome o = Harvest(dir_.path(), sim->BaseUrl(), args("first"), fullDisk);
    EXPECT_EQ(o.status, 1) << o.err;
    const json summary = json::parse(ReadBytes(dir_ / "first" / "summary.json"));
    const json& counts = summary.at("counts");
    EXPECT_EQ(summary.at("outcome"), "cut-short");
    EXPECT_EQ(summary.at("storeFile"), "korvalot.sqlite");
    EXPECT_EQ(summary.at("files").at("store"), "korvalot.sqlite");
    EXPECT_FALSE(counts.at("complete").get<bool>());
    EXPECT_TRUE(counts.at("storeLost").get<bool>());
    EXPECT_FALSE(counts.at("resultsFileFailed").get<bool>());
    EXPECT_FALSE(counts.at("skipFileFailed").get<bool>());

    std::set<std::string> stored;
    for (const auto& row : Query(store, "SELECT guid FROM trades"))
        stored.insert(row[0]);
    const auto truth = Truth(*sim, kTruthQuery);
    EXPECT_GE(stored.size(), 1u) << "lost before the first trade";
    EXPECT_LT(stored.size(), truth.size()) << "not lost at all";
    EXPECT_EQ(counts.at("tradesStored").get<std::size_t>(), stored.size());
    const auto notTried = counts.at("tradesNotTried").get<std::int64_t>();
    EXPECT_GT(notTried, 0);
    EXPECT_GE(counts.at("tradesTakenBack").get<std::int64_t>(), 1);
    const std::string log = ReadBytes(dir_ / summary.at("files").at("log").get<std::string>());
    EXPECT_EQ(Occurrences(log, ": Ошибка записи в хранилище (хранилище korvalot.sqlite: "), 1u)
        << log;
    EXPECT_EQ(static_cast<std::int64_t>(Occurrences(log, ": не получена, сбор карточек прекращён")),
              notTried)
        << log;
    EXPECT_EQ(Occurrences(log, "Итоги: работа прервана: хранилище не записать"), 1u) << log;

    const std::string prefix = sim->BaseUrl() + "/biddings/";
    const auto named = [&] {
        std::multiset<std::string> guids;
        for (const std::string& line : util::ReadListFile(dir_ / "skip.txt"))
            guids.insert(line.substr(prefix.size()));
        return guids;
    };
    // skip.txt names what the store keeps for good; the store may also hold a few trades it
    // committed without a sync before the loss, which the results file gave back to be fetched
    // again.
    const std::multiset<std::string> first = named();
    const std::set<std::string> firstNamed(first.begin(), first.end());
    EXPECT_EQ(firstNamed.size(), first.size());
    for (const std::string& guid : firstNamed)
        EXPECT_TRUE(stored.contains(guid)) << guid << " is in skip.txt, not in the store";
    EXPECT_GE(firstNamed.size(), 1u);
    const auto withLots = [&](const std::set<std::string>& guids) {
        std::set<std::string> out;
        for (const std::string& guid : guids) {
            if (truth.at(guid).at("lots").get<int>() > 0)
                out.insert(guid);
        }
        return out;
    };
    const auto firstCsv = FilesLike(dir_ / "first", "data", ".csv");
    ASSERT_EQ(firstCsv.size(), 1u);
    std::set<std::string> inFirst;
    for (const auto& [guid, rows] : RowsByTrade(Records(firstCsv[0])))
        inFirst.insert(guid);
    EXPECT_EQ(inFirst, withLots(firstNamed));

    // The next run, with room on the disk, harvests what the store lacks, once.
    o = Harvest(dir_.path(), sim->BaseUrl(), args("second"));
    ASSERT_EQ(o.status, 0) << o.err;
    std::set<std::string> all;
    for (const auto& [guid, trade] : truth)
        all.insert(guid);
    EXPECT_EQ(named(), std::multiset<std::string>(all.begin(), all.end()));
    EXPECT_EQ(Query(store, "SELECT count(*), count(DISTINCT guid) FROM trades")[0],
              (std::vector<std::string>{std::to_string(all.size()), std::to_string(all.size())}));
    const auto secondCsv = FilesLike(dir_ / "second", "data", ".csv");
    ASSERT_EQ(secondCsv.size(), 1u);
    std::multiset<std::string> inFiles(inFirst.begin(), inFirst.end());
    for (const auto& [guid, rows] : RowsByTrade(Records(secondCsv[0])))
        inFiles.insert(guid);
    const std::set<std::string> allWithLots = withLots(all);
    EXPECT_EQ(inFiles, std::multiset<std::string>(allWithLots.begin(), allWithLots.end()));
}

// Bad arguments of both programs: one line, status 2, no file changed.
TEST_F(StoreProgramTest, BadArgumentsChangeNoFile) {
    { store::TradeStore made(dir_ / "store.sqlite"); }
    WriteBytes(dir_ / "old.csv", "прежний файл");
    const std::string storeBytes = ReadBytes(dir_ / "store.sqlite");
    const struct {
        const char* binary;
        std::vector<std::string> args;
        const char* says;
    } cases[] = {
        {EXPORT_PATH, {"--store", "store.sqlite"}, "не указан файл: --output"},
        {EXPORT_PATH, {"--store", "store.sqlite", "-o", "old.txt"}, "оканчиваться на .csv"},
        {EXPORT_PATH, {"-o", "missing/x.csv"}, "в папку missing нельзя записывать"},
        {EXPORT_PATH, {"-o", "x.csv", "--from", "2026-02-30"}, "--from: дата должна быть"},
        {EXPORT_PATH, {"-o", "x.csv", "--types", "Auction"}, "неизвестный вид торгов Auction"},
        {EXPORT_PATH, {"-o", "x.csv", "--price-from", "много"}, "--price-from: нужна цена"},
        {EXPORT_PATH, {"-o", "x.csv", "--price-from", "10", "--price-to", "9"}, "больше"},
        {EXPORT_PATH, {"-o", "x.csv", "extra"}, "лишний аргумент extra"},
        // getopt moves the stray word behind the options; it is named all the same.
        {EXPORT_PATH, {"-r", "77", "extra", "-o", "x.csv"}, "лишний аргумент extra"},
        {EXPORT_PATH, {"-o", "old.csv", "--changed-since", "вчера"}, "--changed-since: дата"},
        // A filter with nothing in it is a mistake, never "everything".
        {EXPORT_PATH, {"-o", "x.csv", "--words", ""}, "--words: не указано ни одного слова"},
        {EXPORT_PATH, {"-o", "x.csv", "--words", "   "}, "--words: не указано ни одного слова"},
        {EXPORT_PATH, {"-o", "x.csv", "--regions", ""}, "--regions: не указан ни один регион"},
        {EXPORT_PATH, {"-o", "x.csv", "--regions", ","}, "--regions: не указан ни один регион"},
        {EXPORT_PATH, {"-o", "x.csv", "--types", ","}, "--types: не указан ни один вид торгов"},
        // A region code is a number of one or two digits, leading zeros aside, as the harvest
        // judges it before it asks the register.
        {EXPORT_PATH, {"-o", "x.csv", "--regions", "abc"}, "--regions: abc - не код региона"},
        {EXPORT_PATH, {"-o", "x.csv", "--regions", "77,100"}, "--regions: 100 - не код региона"},
        {EXPORT_PATH, {"-o", "x.csv", "--regions", "00"}, "--regions: 00 - не код региона"},
        {EXPORT_PATH, {"-o", "x.csv", "-r", "all", "-r", "77"}, "all вместе с кодами"},
        {EXPORT_PATH,
         {"-o", "x.csv", "--announced-from", "2026-03-02", "--announced-to", "2026-03-01"},
         "--announced-from позже --announced-to"},
        {EXPORT_PATH, {"-o", "x.csv", "--from", "today", "--to", "yesterday"}, "--from позже --to"},
        {EXPORT_PATH, {"-o", "x.csv", "--announced-to", "31.12.2026"}, "--announced-to: дата"},
        {EXPORT_PATH, {"-o", "x.csv", "--new-since", "2026-13-01"}, "--new-since: дата"},
        {HARVEST_PATH, {"-r", "77", "--refresh-days", "-1"}, "--refresh-days: нужно число"},
        {HARVEST_PATH, {"-r", "77", "--refresh"}, "--refresh без --store"},
        {HARVEST_PATH, {"-r", "77", "--store", "--refresh-days", "9"}, "без --refresh"},
        {HARVEST_PATH, {"-r", "77", "--words", "дом"}, "неизвестный параметр --words"},
        {HARVEST_PATH, {"-r", "77", "--store="}, "--store: пустой путь"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.says);
        const Outcome o = Program(c.binary, dir_.path(), "https://127.0.0.1:9", c.args).Wait();
        EXPECT_EQ(o.status, 2) << o.err;
        EXPECT_NE(o.err.find(c.says), std::string::npos) << o.err;
        EXPECT_EQ(Occurrences(o.err, "\n"), 1u) << o.err;
        EXPECT_FALSE(fs::exists(dir_ / "x.csv"));
        EXPECT_EQ(ReadBytes(dir_ / "old.csv"), "прежний файл");
        EXPECT_EQ(ReadBytes(dir_ / "store.sqlite"), storeBytes);
    }
    const Outcome help = Export(dir_.path(), {"--help"});
    EXPECT_EQ(help.status, 0);
    for (const char* option :
         {"--changed-since", "--new-since", "--announced-from", "--announced-to", "дата торгов"})
        EXPECT_NE(help.out.find(option), std::string::npos) << option;
    const Outcome version = Export(dir_.path(), {"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_TRUE(version.out.starts_with("korvalot-export ")) << version.out;
}

// kill -9 in the middle of a harvest: the store is whole, holds every trade skip.txt names,
// and each trade it holds has the rows the results file got.
TEST_F(StoreProgramTest, KillNineLeavesTheStoreConsistentWithSkipTxt) {
    const auto sim = StartSim(kFirstDay, {"--latency-ms", "100"}, 500);
    Program harvest(HARVEST_PATH, dir_.path(), sim->BaseUrl(),
                    {"-r", kRegions, "-i", "-v", "--store", "korvalot.sqlite"});
    // Killed once a batch of trades is kept and skip.txt names it, while the next batch is open.
    const auto deadline = Clock::now() + std::chrono::seconds(120);
    const auto skipLines = [&] { return Occurrences(ReadBytes(dir_ / "skip.txt"), "\r\n"); };
    while ((skipLines() < 3 || CardsDone(harvest.Err()) < skipLines() + 2) &&
           Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    harvest.Signal(SIGKILL);
    EXPECT_EQ(harvest.Wait().status, 128 + SIGKILL);

    const fs::path store = dir_ / "korvalot.sqlite";
    EXPECT_EQ(Query(store, "PRAGMA integrity_check")[0][0], "ok");
    std::set<std::string> stored;
    for (const auto& row : Query(store, "SELECT guid FROM trades"))
        stored.insert(row[0]);
    std::set<std::string> skipped;
    const std::string prefix = sim->BaseUrl() + "/biddings/";
    for (const std::string& line : util::ReadListFile(dir_ / "skip.txt"))
        skipped.insert(line.substr(prefix.size()));
    EXPECT_GE(skipped.size(), 3u) << "killed before the card phase";
    EXPECT_LT(skipped.size(), Truth(*sim, kTruthQuery).size()) << "killed after the harvest";
    for (const std::string& guid : skipped)
        EXPECT_TRUE(stored.contains(guid)) << guid << " is in skip.txt, not in the store";

    // Every stored trade's rows are those of the results file.
    const auto csv = FilesLike(dir_.path(), "data", ".csv");
    ASSERT_EQ(csv.size(), 1u);
    const auto bytes = ReadBytes(csv[0]);
    // The file's last line may be cut by the kill; whole lines only.
    const auto whole = bytes.substr(0, bytes.rfind("\"\r\n") + 3);
    const auto records = testing::ReadResultsFile(whole, crawl::ResultsFile::kHeader);
    ASSERT_EQ(records.problem, "");
    const auto inFile = RowsByTrade(records.rows);
    const Outcome o = Export(dir_.path(), {"--store", "korvalot.sqlite", "-o", "stored.csv"});
    ASSERT_EQ(o.status, 0) << o.err;
    for (const auto& [guid, rows] : RowsByTrade(Records(dir_ / "stored.csv"))) {
        ASSERT_TRUE(inFile.contains(guid)) << guid;
        EXPECT_EQ(inFile.at(guid), rows) << guid;
    }
    // Its words can be looked for, and their index matches the texts.
    EXPECT_EQ(
        Export(dir_.path(), {"--store", "korvalot.sqlite", "-o", "words.csv", "--words", "ооо"})
            .status,
        0);
    Query(store, "INSERT INTO lot_words(lot_words) VALUES ('integrity-check')");
}

// Two harvests into one store from two output folders, started together: each waits for the
// other's short commits instead of giving its store up; both complete, every trade is stored
// once, and both runs are closed in the runs table.
TEST_F(StoreProgramTest, TwoHarvestsIntoOneStoreStartedTogetherBothComplete) {
    const auto sim = StartSim(kFirstDay, {"--latency-ms", "20"});
    for (const char* folder : {"a", "b"}) {
        fs::create_directory(dir_ / folder);
        for (const char* file : {"01cert.pem", "01key.pem"})
            fs::copy_file(dir_ / file, dir_ / folder / file);
    }
    const std::vector<std::string> args = {
        "-r", kRegions, "-i", "--store", "../korvalot.sqlite", "--summary-json", "summary.json"};
    Program a(HARVEST_PATH, dir_ / "a", sim->BaseUrl(), args);
    Program b(HARVEST_PATH, dir_ / "b", sim->BaseUrl(), args);
    const Outcome ao = a.Wait();
    const Outcome bo = b.Wait();
    EXPECT_EQ(ao.status, 0) << ao.err;
    EXPECT_EQ(bo.status, 0) << bo.err;
    const fs::path store = dir_ / "korvalot.sqlite";
    const auto truth = Truth(*sim, kTruthQuery);
    EXPECT_EQ(
        Query(store, "SELECT count(*), count(DISTINCT guid) FROM trades")[0],
        (std::vector<std::string>{std::to_string(truth.size()), std::to_string(truth.size())}));
    const auto runs = Query(store, "SELECT ended_at IS NOT NULL, trades_stored FROM runs");
    ASSERT_EQ(runs.size(), 2u);
    for (const char* folder : {"a", "b"}) {
        SCOPED_TRACE(folder);
        const json summary = json::parse(ReadBytes(dir_ / folder / "summary.json"));
        EXPECT_TRUE(summary.at("counts").at("complete").get<bool>());
        const auto stored = summary.at("counts").at("tradesStored").get<std::int64_t>();
        EXPECT_EQ(stored, static_cast<std::int64_t>(truth.size()));
        // skip.txt names only what the store holds.
        const std::string prefix = sim->BaseUrl() + "/biddings/";
        for (const std::string& line : util::ReadListFile(dir_ / folder / "skip.txt"))
            EXPECT_TRUE(truth.contains(line.substr(prefix.size()))) << line;
    }
    for (const auto& run : runs)
        EXPECT_EQ(run, (std::vector<std::string>{"1", std::to_string(truth.size())}));
}

// An export while a harvest waits for a register that stopped answering in the middle of the
// card phase: the harvest holds no lock while it waits, so the export reads at once, words
// included, and gives the trades stored so far.
TEST_F(StoreProgramTest, AnExportDuringAStalledRegisterDoesNotWaitForTheHarvest) {
    const auto sim = StartSim(kFirstDay, {"--latency-ms", "50"}, 400);
    Program harvest(HARVEST_PATH, dir_.path(), sim->BaseUrl(),
                    {"-r", kRegions, "-v", "--store", "korvalot.sqlite"});
    const fs::path store = dir_ / "korvalot.sqlite";
    const auto deadline = Clock::now() + std::chrono::seconds(120);
    const auto storedNow = [&]() -> long long {
        try {
            return std::stoll(Query(store, "SELECT count(*) FROM trades")[0][0]);
        } catch (const store::StoreError&) {
            return 0;  // not made yet
        }
    };
    while (storedNow() < 5 && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_GE(storedNow(), 5);
    // The register stalls: its process stops answering (connections stay open).
    ::kill(sim->Pid(), SIGSTOP);
    const auto stored = storedNow();
    const Outcome words = Export(
        dir_.path(), {"--store", "korvalot.sqlite", "--words", "автомоб*", "-o", "words.csv"});
    const Outcome all = Export(dir_.path(), {"--store", "korvalot.sqlite", "-o", "all.csv"});
    // What the export read was there while the register stood still.
    const auto storedAfter = storedNow();
    ::kill(sim->Pid(), SIGCONT);
    harvest.Signal(SIGTERM);
    harvest.Wait();
    EXPECT_EQ(words.status, 0) << words.err;
    EXPECT_EQ(all.status, 0) << all.err;
    ASSERT_EQ(storedAfter, stored) << "the register did not stall";
    EXPECT_EQ(RowsByTrade(Records(dir_ / "all.csv")).size(),
              static_cast<std::size_t>(
                  std::stoll(Query(store,
                                   "SELECT count(DISTINCT trade_id) FROM lots WHERE trade_id IN "
                                   "(SELECT id FROM trades ORDER BY id LIMIT " +
                                       std::to_string(stored) + ")")[0][0])));
}

// korvalot-export run by another user on a store that user may only read (mode 644 in a folder
// it may not write): it reads without writing, makes nothing beside the store, and gives the
// same rows as the owner's export. The owner's own export leaves no -wal or -shm either.
TEST_F(StoreProgramTest, AnotherUserExportsAStoreItMayOnlyRead) {
    const auto sim = StartSim(kFirstDay, {}, 60);
    const Outcome harvested =
        Harvest(dir_.path(), sim->BaseUrl(), {"-r", kRegions, "--store", "korvalot.sqlite"});
    ASSERT_EQ(harvested.status, 0) << harvested.err;
    const Outcome own = Export(dir_.path(), {"--store", "korvalot.sqlite", "-o", "own.csv"});
    ASSERT_EQ(own.status, 0) << own.err;
    ASSERT_GT(RowsByTrade(Records(dir_ / "own.csv")).size(), 0u);
    for (const char* suffix : {"-wal", "-shm"})
        EXPECT_FALSE(fs::exists(dir_.path() / ("korvalot.sqlite" + std::string(suffix))));

    const testing::ReachableCopy program(EXPORT_PATH);
    if (const std::string why = program.WhyNotRunnableBy(65534, 65534); !why.empty())
        GTEST_SKIP() << why;
    // The store in a folder every user may enter and read, only its owner write; the output
    // in one that user may write.
    const fs::path shared = program.path().parent_path() / "store";
    const fs::path out = program.path().parent_path() / "out";
    fs::create_directory(shared);
    fs::create_directory(out);
    fs::copy_file(dir_ / "korvalot.sqlite", shared / "korvalot.sqlite");
    fs::permissions(shared / "korvalot.sqlite", fs::perms::owner_read | fs::perms::owner_write |
                                                    fs::perms::group_read | fs::perms::others_read);
    fs::permissions(shared, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                fs::perms::others_read | fs::perms::others_exec);
    fs::permissions(out, fs::perms::all);
    const std::string before = ReadBytes(shared / "korvalot.sqlite");
    for (const std::vector<std::string>& filter :
         {std::vector<std::string>{}, std::vector<std::string>{"--words", "автомоб*"}}) {
        std::vector<std::string> ownArgs = {"--store", "korvalot.sqlite", "-o", "own.csv"};
        ownArgs.insert(ownArgs.end(), filter.begin(), filter.end());
        ASSERT_EQ(Export(dir_.path(), ownArgs).status, 0);
        std::vector<std::string> args = {"--store", (shared / "korvalot.sqlite").string(), "-o",
                                         (out / "theirs.csv").string()};
        args.insert(args.end(), filter.begin(), filter.end());
        Program::Settings nobody{};
        nobody.asNobody = true;
        const Outcome o =
            Program(program.path().c_str(), out, "https://127.0.0.1:9", args, nobody).Wait();
        ASSERT_EQ(o.status, 0) << o.err;
        EXPECT_TRUE(ReadBytes(out / "theirs.csv") == ReadBytes(dir_ / "own.csv")) << o.err;
        EXPECT_TRUE(ReadBytes(shared / "korvalot.sqlite") == before);
        for (const auto& entry : fs::directory_iterator(shared))
            EXPECT_EQ(entry.path().filename(), "korvalot.sqlite");
    }
}

// The filters the browser and korvalot-export share take the same lots both ways: the export's
// arguments read as the filter, the program's file, and the browser's ids, first screen and rows
// of that filter agree, each case taking some of the harvested lots and leaving others.
TEST_F(StoreProgramTest, TheExportAndTheBrowserTakeTheSameLots) {
    const auto sim = StartSim(kFirstDay);
    const Outcome harvested =
        Harvest(dir_.path(), sim->BaseUrl(), {"-r", kRegions, "--store", "korvalot.sqlite"});
    ASSERT_EQ(harvested.status, 0) << harvested.err;
    ASSERT_EQ(Export(dir_.path(), {"--store", "korvalot.sqlite", "-o", "all.csv"}).status, 0);
    const std::size_t all = Records(dir_ / "all.csv").size();

    store::LotBrowser browser(dir_ / "korvalot.sqlite");
    const auto today = util::LocalToday();
    for (const testing::FilterCase& c : testing::FilterCases(today)) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args = {"--store", "korvalot.sqlite", "-o", "case.csv"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        EXPECT_TRUE(exporting::ParseExportOptions(args, today).filter == c.filter);
        const Outcome o = Export(dir_.path(), args);
        ASSERT_EQ(o.status, 0) << o.err;
        const auto exported = Records(dir_ / "case.csv");
        EXPECT_GT(exported.size(), 0u);
        EXPECT_LT(exported.size(), all);

        const std::vector<std::int64_t> ids = browser.LotIds(c.filter, {});
        std::vector<std::vector<std::string>> browsed;
        for (const store::BrowsedLot& lot : browser.Lots(ids)) {
            std::vector<std::string> record = {lot.cardLink};
            for (const std::string* text : lot.row.Columns())
                record.push_back(*text);
            browsed.push_back(std::move(record));
        }
        EXPECT_EQ(browsed, exported);
        EXPECT_EQ(static_cast<std::size_t>(store::CountTrades(ids)), RowsByTrade(exported).size());
        const auto first = browser.FirstLots(c.filter, {}, 60);
        ASSERT_EQ(first.size(), std::min<std::size_t>(60, ids.size()));
        for (std::size_t k = 0; k < first.size(); ++k)
            EXPECT_EQ(first[k].lotId, ids[k]);
    }
}

}  // namespace
}  // namespace korvalot
