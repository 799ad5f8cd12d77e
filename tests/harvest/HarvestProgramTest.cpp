// korvalot-harvest as a scheduler runs it: a real process against the register simulator.
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <set>
#include <thread>

#include "crawl/fakes/TempDir.h"
#include "support/TcpProxy.h"
#include "tools/register-sim/SimProcess.h"
#include "util/Platform.h"

namespace korvalot {
namespace {

using crawl::testing_support::ReadBytes;
using crawl::testing_support::TempDir;
using crawl::testing_support::WriteBytes;
namespace fs = std::filesystem;

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

// The program started in `dir` with the register at `url`; its output goes to files there.
class Harvest {
public:
    // uid: run as that user instead (root only).
    Harvest(const fs::path& dir, const std::string& url, const std::vector<std::string>& args,
            std::optional<uid_t> uid = std::nullopt)
        : dir_(dir) {
        pid_ = ::fork();
        if (pid_ == 0) {
            if (::chdir(dir.c_str()) != 0)
                ::_exit(120);
            const int out = ::open(".stdout", O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int err = ::open(".stderr", O_WRONLY | O_CREAT | O_TRUNC, 0644);
            ::dup2(out, 1);
            ::dup2(err, 2);
            if (uid && (::setgroups(0, nullptr) != 0 || ::setgid(*uid) != 0 || ::setuid(*uid) != 0))
                ::_exit(122);
            ::setenv("KORVALOT_REGISTER_URL", url.c_str(), 1);
            // Prices follow the locale's decimal separator; the checks expect a point whatever
            // the tester's own locale is.
            ::setenv("LC_ALL", "C.UTF-8", 1);
            std::vector<char*> argv{const_cast<char*>(HARVEST_PATH)};
            for (const auto& arg : args)
                argv.push_back(const_cast<char*>(arg.c_str()));
            argv.push_back(nullptr);
            ::execv(HARVEST_PATH, argv.data());
            ::_exit(121);
        }
    }
    ~Harvest() {
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

Outcome RunHarvest(const fs::path& dir, const std::string& url,
                   const std::vector<std::string>& args) {
    return Harvest(dir, url, args).Wait();
}

// The files of a folder, the program's captured output left out.
// Waits until the simulator has taken the given number of region-directory requests; it counts
// one when it takes it, before it waits to answer. False when a minute passed first.
bool WaitForDirectoryRequests(tools::SimProcess& sim, int count) {
    const std::string wanted = "\"regions\":" + std::to_string(count);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (sim.Get("/sim/stats").body.find(wanted) == std::string::npos) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

std::set<std::string> Files(const fs::path& dir) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        // The folder's lock file is the program's, not a harvest file.
        if (!name.starts_with(".std") && name != ".korvalot.lock")
            names.insert(name);
    }
    return names;
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

struct Truth {
    std::set<std::string> trades;    // every trade of the selection
    std::set<std::string> withLots;  // those that give rows
};

Truth TruthOf(const tools::SimProcess& sim, const std::string& query) {
    const std::string body = sim.Get("/sim/truth?" + query).body;
    Truth truth;
    for (std::size_t at = body.find("\"guid\":\""); at != std::string::npos;
         at = body.find("\"guid\":\"", at)) {
        at += 8;
        const std::string guid = body.substr(at, body.find('"', at) - at);
        const std::size_t lots = body.find("\"lots\":", at) + 7;
        truth.trades.insert(guid);
        if (body[lots] != '0')
            truth.withLots.insert(guid);
    }
    return truth;
}

// The trades whose rows a results file holds; every line must be whole.
std::set<std::string> TradesIn(const fs::path& csv) {
    const std::string bytes = ReadBytes(csv);
    EXPECT_TRUE(bytes.ends_with("\r\n"));
    EXPECT_EQ(std::count(bytes.begin(), bytes.end(), '"') % 28, 0) << "a line cut short";
    std::set<std::string> trades;
    for (std::size_t at = bytes.find("\r\n\"https://"); at != std::string::npos;
         at = bytes.find("\r\n\"https://", at)) {
        at = bytes.find("/biddings/", at) + 10;
        trades.insert(bytes.substr(at, bytes.find('"', at) - at));
    }
    return trades;
}

std::set<std::string> SkipLines(const fs::path& skip, const std::string& url) {
    std::set<std::string> trades;
    for (const std::string& line : util::ReadListFile(skip)) {
        EXPECT_TRUE(line.starts_with(url + "/biddings/")) << line;
        trades.insert(line.substr(url.size() + 10));
    }
    return trades;
}

std::size_t Occurrences(const std::string& text, const std::string& piece) {
    std::size_t count = 0;
    for (std::size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1))
        ++count;
    return count;
}

std::size_t CardLines(const std::string& log) {
    std::size_t count = 0;
    for (std::size_t at = log.find(": Карточка "); at != std::string::npos;
         at = log.find(": Карточка ", at + 1)) {
        const std::size_t end = log.find('\n', at);
        const std::string line = log.substr(at, end == std::string::npos ? end : end - at);
        count += line.find(": успешно") != std::string::npos ? 1 : 0;
    }
    return count;
}

std::set<std::string> Minus(const std::set<std::string>& a, const std::set<std::string>& b) {
    std::set<std::string> out;
    std::set_difference(a.begin(), a.end(), b.begin(), b.end(), std::inserter(out, out.end()));
    return out;
}

class HarvestProgramTest : public ::testing::Test {
protected:
    // The directory client presents these when the register asks, as it does here.
    static void WriteCertificates(const fs::path& dir) {
        ASSERT_EQ(::system(("'" + tools::SimProcess::DefaultBinary() + "' --write-client-cert '" +
                            dir.string() + "'")
                               .c_str()),
                  0);
    }
    std::vector<std::string> SimArgs(int trades, std::vector<std::string> more = {}) {
        std::vector<std::string> args = {
            "--port", std::to_string(port_),  "--trades", std::to_string(trades), "--seed",
            "7",      "--require-client-cert"};
        args.insert(args.end(), more.begin(), more.end());
        return args;
    }
    int port_ = 0;
};

TEST_F(HarvestProgramTest, BadArgumentsGetOneLineAndChangeNoFile) {
    TempDir dir;
    tools::SimProcess sim(SimArgs(20));
    WriteCertificates(dir.path());
    WriteBytes(dir / "a-file", "x");
    const std::set<std::string> before = Files(dir.path());
    const struct {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"-r", "77", "--from", "2026-02-30"}, "--from: дата должна быть"},
        {{"-r", "77", "--from", "2026-03-02", "--to", "2026-03-01"}, "--from позже --to"},
        {{"-r", "77", "-T", "Auction"}, "неизвестный вид торгов Auction"},
        {{"-r", "77,999"}, "нет региона с кодом 999"},
        {{"-r", "77", "-o", "missing"}, "в папку missing нельзя записывать"},
        {{"-r", "77", "-o", "a-file"}, "в папку a-file нельзя записывать"},
        {{"-r", "77", "-i", "-s", "missing/skip.txt"}, "--skip-file: в папку missing"},
        {{"-r", "77", "--incremental=yes"}, "--incremental=yes"},
        {{}, "не выбран ни один регион"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        const Outcome o = RunHarvest(dir.path(), sim.BaseUrl(), c.args);
        EXPECT_EQ(o.status, 2);
        EXPECT_TRUE(o.err.starts_with("korvalot-harvest: ")) << o.err;
        EXPECT_NE(o.err.find(c.message), std::string::npos) << o.err;
        EXPECT_EQ(std::count(o.err.begin(), o.err.end(), '\n'), 1) << o.err;
        EXPECT_EQ(Files(dir.path()), before);
    }

    const Outcome help = RunHarvest(dir.path(), sim.BaseUrl(), {"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("--incremental"), std::string::npos);
    const Outcome version = RunHarvest(dir.path(), sim.BaseUrl(), {"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_TRUE(version.out.starts_with("korvalot-harvest ")) << version.out;

    // Without the certificate files the directory cannot be asked for: the run cannot start.
    TempDir bare;
    const Outcome noCertificate = RunHarvest(bare.path(), sim.BaseUrl(), {"-r", "77"});
    EXPECT_EQ(noCertificate.status, 3) << noCertificate.err;
    EXPECT_NE(noCertificate.err.find("01cert.pem"), std::string::npos) << noCertificate.err;
    EXPECT_TRUE(Files(bare.path()).empty());
}

// A folder the user may not write to, as a real process of a user without the right.
TEST_F(HarvestProgramTest, AnOutputFolderTheUserCannotWriteToIsABadArgument) {
    TempDir dir;
    fs::permissions(dir.path(), fs::perms::owner_all | fs::perms::group_read |
                                    fs::perms::group_exec | fs::perms::others_read |
                                    fs::perms::others_exec);
    fs::create_directory(dir / "locked");
    fs::permissions(dir / "locked", fs::perms::owner_read | fs::perms::owner_exec |
                                        fs::perms::group_read | fs::perms::group_exec |
                                        fs::perms::others_read | fs::perms::others_exec);
    // Root writes anywhere: the program then runs as "nobody".
    const std::optional<uid_t> user = ::geteuid() == 0 ? std::optional<uid_t>(65534) : std::nullopt;
    Harvest harvest(dir.path(), "https://127.0.0.1:9", {"-r", "77", "-o", "locked"}, user);
    const Outcome o = harvest.Wait();
    EXPECT_EQ(o.status, 2) << o.err;
    EXPECT_NE(o.err.find("в папку locked нельзя записывать: Permission denied"), std::string::npos)
        << o.err;
    EXPECT_TRUE(fs::is_empty(dir / "locked"));
}

// A run that could not reach every trade says so in its exit status and its closing lines.
TEST_F(HarvestProgramTest, ARunWithFailedQueriesEndsWithItsOwnStatus) {
    TempDir dir;
    WriteCertificates(dir.path());
    tools::SimProcess sim(SimArgs(40, {"--fail-first", "1000", "--fault-kinds", "500"}));
    // A register that answers 500 to everything is down: the run waits no longer for it.
    const Outcome o = RunHarvest(dir.path(), sim.BaseUrl(),
                                 {"-r", "77", "-T", "OpenAuction", "--outage-limit", "0"});
    EXPECT_EQ(o.status, 1) << o.err;
    EXPECT_NE(o.err.find(": Поисковых запросов: 1, не удалось: 1;"), std::string::npos) << o.err;
    EXPECT_NE(o.err.find(": Работа завершена, лог записан в "), std::string::npos) << o.err;
}

// The register stops answering once the run has begun and does not come back within the limit:
// the run ends there, names what it did not do, and says why in its closing lines and status.
TEST_F(HarvestProgramTest, ARegisterDownPastTheOutageLimitEndsTheRunWithItsOwnStatus) {
    TempDir dir;
    WriteCertificates(dir.path());
    tools::SimProcess sim(SimArgs(40));
    testing::TcpProxy proxy(sim.Port());
    Harvest harvest(dir.path(), proxy.HttpsUrl(),
                    {"-r", "77", "-T", "OpenAuction", "--outage-limit", "0", "-v"});
    // The region directory came through on the first connection; the second is the run's.
    ASSERT_TRUE(proxy.WaitUntilAccepted(2, std::chrono::seconds(60)));
    proxy.Refuse();
    const Outcome o = harvest.Wait();
    EXPECT_EQ(o.status, 1) << o.err;
    EXPECT_EQ(Occurrences(o.err, ": Реестр перестал отвечать."), 1u) << o.err;
    EXPECT_EQ(Occurrences(o.err, ": Реестр не отвечает уже "), 1u) << o.err;
    EXPECT_NE(o.err.find(": Итоги: работа прервана: реестр не отвечает"), std::string::npos)
        << o.err;
    EXPECT_NE(o.err.find(": Поисковых запросов: 1, не удалось: 1;"), std::string::npos) << o.err;
    EXPECT_TRUE(FilesLike(dir.path(), "data", ".csv").empty()) << "no card phase, no results file";
}

// With -v every line is shown as it is logged, and the closing lines are not shown again.
TEST_F(HarvestProgramTest, VerboseShowsEveryLineOnce) {
    TempDir dir;
    WriteCertificates(dir.path());
    tools::SimProcess sim(SimArgs(40));
    const Outcome o =
        RunHarvest(dir.path(), sim.BaseUrl(), {"-r", "77", "-T", "OpenAuction", "-v"});
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(Occurrences(o.err, ": Работа завершена, лог записан в "), 1u) << o.err;
    EXPECT_EQ(Occurrences(o.err, ": Итоги: "), 1u) << o.err;
}

// Two scheduled runs: the register gains trades between them, and the second run fetches only
// those. The data set's first trades do not change when it grows.
TEST_F(HarvestProgramTest, IncrementalRunsFetchOnlyTradesNotHarvestedBefore) {
    TempDir dir;
    WriteCertificates(dir.path());
    const std::vector<std::string> args = {"-r", "77,23", "-i", "-w", "-o", "out"};
    fs::create_directory(dir / "out");
    const std::string query = "regions=77,23";

    std::string url;
    Truth first;
    {
        tools::SimProcess sim(SimArgs(120));
        url = sim.BaseUrl();
        port_ = sim.Port();
        first = TruthOf(sim, query);
        const Outcome o = RunHarvest(dir.path(), url, args);
        ASSERT_EQ(o.status, 0) << o.err;
        EXPECT_NE(o.err.find("Сбор данных завершен"), std::string::npos) << o.err;
    }
    ASSERT_GT(first.trades.size(), 10u);
    const auto csv1 = FilesLike(dir / "out", "data", ".csv");
    ASSERT_EQ(csv1.size(), 1u);
    EXPECT_EQ(TradesIn(csv1[0]), first.withLots);
    EXPECT_EQ(SkipLines(dir / "out" / "skip.txt", url), first.trades);
    EXPECT_EQ(FilesLike(dir / "out", "log-", ".txt").size(), 1u);
    EXPECT_TRUE(fs::exists(dir / "out" / "guids.txt"));

    // The workbook beside it, read back by an independent reader, row by row.
    const auto compareWorkbook = [&](const fs::path& csv) {
        fs::path xlsx = csv;
        xlsx.replace_extension(".xlsx");
        const std::string command = std::string("'") + PYTHON_PATH + "' '" +
                                    COMPARE_WORKBOOK_SCRIPT + "' '" + csv.string() + "' '" +
                                    xlsx.string() + "' . > '" + (dir / "compare.txt").string() +
                                    "' 2>&1";
        EXPECT_EQ(::system(command.c_str()), 0) << ReadBytes(dir / "compare.txt");
    };
    compareWorkbook(csv1[0]);

    // The same port, so that the recorded card addresses still name the register's trades.
    tools::SimProcess sim(SimArgs(200));
    ASSERT_EQ(sim.BaseUrl(), url);
    const Truth all = TruthOf(sim, query);
    const std::set<std::string> added = Minus(all.trades, first.trades);
    ASSERT_EQ(Minus(first.trades, all.trades).size(), 0u);
    ASSERT_FALSE(added.empty());

    const auto logsBefore = FilesLike(dir / "out", "log-", ".txt");
    const Outcome o = RunHarvest(dir.path(), url, args);
    ASSERT_EQ(o.status, 0) << o.err;
    std::vector<fs::path> csv2;
    for (const auto& path : FilesLike(dir / "out", "data", ".csv")) {
        if (path != csv1[0])
            csv2.push_back(path);
    }
    ASSERT_EQ(csv2.size(), 1u);
    EXPECT_EQ(TradesIn(csv2[0]), Minus(all.withLots, first.withLots));
    compareWorkbook(csv2[0]);
    EXPECT_EQ(SkipLines(dir / "out" / "skip.txt", url), all.trades);
    fs::path log2;
    for (const auto& path : FilesLike(dir / "out", "log-", ".txt")) {
        if (std::find(logsBefore.begin(), logsBefore.end(), path) == logsBefore.end())
            log2 = path;
    }
    ASSERT_FALSE(log2.empty());
    EXPECT_EQ(CardLines(ReadBytes(log2)), added.size()) << "only the new trades were fetched";
}

// A stop that comes while the region directory loads ends the program before a run begins:
// no run, so neither a log file nor a results file.
TEST_F(HarvestProgramTest, AStopDuringTheDirectoryLoadStartsNoRun) {
    TempDir dir;
    WriteCertificates(dir.path());
    tools::SimProcess sim(SimArgs(40, {"--latency-ms", "2000"}));
    Harvest harvest(dir.path(), sim.BaseUrl(), {"-r", "77"});
    ASSERT_TRUE(WaitForDirectoryRequests(sim, 1));
    harvest.Signal(SIGTERM);
    const Outcome o = harvest.Wait();
    EXPECT_EQ(o.status, 128 + SIGTERM) << o.err;
    EXPECT_TRUE(FilesLike(dir.path(), "log-", ".txt").empty()) << o.err;
    EXPECT_TRUE(FilesLike(dir.path(), "data", ".csv").empty()) << o.err;
}

// Overlapping scheduled runs: the second into a folder where one is running is refused at
// once, and the folder is free again when the holder is killed outright.
TEST_F(HarvestProgramTest, ASecondRunIntoABusyFolderIsRefusedAtOnce) {
    TempDir dir;
    TempDir other;
    WriteCertificates(dir.path());
    tools::SimProcess sim(SimArgs(40, {"--latency-ms", "2000"}));
    Harvest first(dir.path(), sim.BaseUrl(), {"-r", "77"});
    ASSERT_TRUE(WaitForDirectoryRequests(sim, 1)) << "the first run never held the folder";
    const Outcome refused =
        RunHarvest(other.path(), sim.BaseUrl(), {"-r", "77", "-o", dir.path().string()});
    EXPECT_EQ(refused.status, 3) << refused.err;
    EXPECT_NE(refused.err.find("уже идёт другой сбор"), std::string::npos) << refused.err;
    EXPECT_EQ(std::count(refused.err.begin(), refused.err.end(), '\n'), 1) << refused.err;

    first.Signal(SIGKILL);
    EXPECT_EQ(first.Wait().status, 128 + SIGKILL);
    WriteCertificates(other.path());
    Harvest again(other.path(), sim.BaseUrl(), {"-r", "77", "-o", dir.path().string()});
    // It got past the lock when it asks the register for the directory.
    EXPECT_TRUE(WaitForDirectoryRequests(sim, 2)) << "the folder stayed locked after the kill";
    again.Signal(SIGTERM);
    const Outcome after = again.Wait();
    EXPECT_EQ(after.status, 128 + SIGTERM) << after.err;
    EXPECT_EQ(after.err.find("уже идёт другой сбор"), std::string::npos) << after.err;
}

TEST_F(HarvestProgramTest, SigintStopsTheRunAsTheStopButtonDoes) {
    TempDir dir;
    WriteCertificates(dir.path());
    tools::SimProcess sim(SimArgs(120, {"--latency-ms", "150"}));
    Harvest harvest(dir.path(), sim.BaseUrl(), {"-r", "77,23", "-i", "-v"});
    // Stopped in the card phase, once a few trades have been written.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (CardLines(harvest.Err()) < 3 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_GE(CardLines(harvest.Err()), 3u) << harvest.Err();
    harvest.Signal(SIGINT);
    const Outcome o = harvest.Wait();
    EXPECT_EQ(o.status, 128 + SIGINT) << o.err;
    EXPECT_NE(o.err.find("Останавливаем работу"), std::string::npos);

    const auto logs = FilesLike(dir.path(), "log-", ".txt");
    ASSERT_EQ(logs.size(), 1u);
    const std::string log = ReadBytes(logs[0]);
    EXPECT_NE(log.find(": Останавливаем работу\r\n"), std::string::npos);
    EXPECT_NE(log.find(": Работа завершена, лог записан в "), std::string::npos);
    const auto csv = FilesLike(dir.path(), "data", ".csv");
    ASSERT_EQ(csv.size(), 1u);
    const std::set<std::string> written = TradesIn(csv[0]);
    const std::set<std::string> recorded = SkipLines(dir / "skip.txt", sim.BaseUrl());
    const Truth truth = TruthOf(sim, "regions=77,23");
    EXPECT_LT(recorded.size(), truth.trades.size()) << "the run was not stopped";
    // A trade is recorded once its rows are written, and only then.
    for (const auto& trade : recorded) {
        if (truth.withLots.contains(trade)) {
            EXPECT_TRUE(written.contains(trade)) << trade;
        }
    }
    EXPECT_EQ(Minus(written, recorded).size(), 0u);
}

}  // namespace
}  // namespace korvalot
