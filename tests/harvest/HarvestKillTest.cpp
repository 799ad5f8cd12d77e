// korvalot-harvest --incremental killed outright (SIGKILL) at several moments of its card phase
// and run again until a run completes: across all the results files every trade's rows are
// there exactly once, and skip.txt names every trade once.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "crawl/fakes/TempDir.h"
#include "tools/register-sim/SimProcess.h"
#include "util/Platform.h"

namespace korvalot {
namespace {

using crawl::testing_support::ReadBytes;
using crawl::testing_support::TempDir;
namespace fs = std::filesystem;

// The program started in `dir`, its output in files there.
class Harvest {
public:
    Harvest(const fs::path& dir, const std::string& url, const std::vector<std::string>& args)
        : dir_(dir) {
        pid_ = ::fork();
        if (pid_ == 0) {
            if (::chdir(dir.c_str()) != 0)
                ::_exit(120);
            const int out = ::open(".stdout", O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int err = ::open(".stderr", O_WRONLY | O_CREAT | O_APPEND, 0644);
            ::dup2(out, 1);
            ::dup2(err, 2);
            ::setenv("KORVALOT_REGISTER_URL", url.c_str(), 1);
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
        if (!status_) {
            ::kill(pid_, SIGKILL);
            Wait();
        }
    }
    // Whether the program has ended, without waiting.
    bool Ended() {
        if (status_)
            return true;
        int raw = 0;
        if (::waitpid(pid_, &raw, WNOHANG) != pid_)
            return false;
        status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
        return true;
    }
    int Wait() {
        if (!status_) {
            int raw = 0;
            ::waitpid(pid_, &raw, 0);
            status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
        }
        return *status_;
    }
    void Kill() const { ::kill(pid_, SIGKILL); }

private:
    fs::path dir_;
    pid_t pid_ = -1;
    std::optional<int> status_;
};

std::vector<fs::path> ResultsFiles(const fs::path& dir) {
    std::vector<fs::path> found;
    for (const auto& entry : fs::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        if (name.starts_with("data-") && entry.path().extension() == ".csv")
            found.push_back(entry.path());
    }
    return found;
}

// The rows of each trade over all the files; every file must end with a whole line.
std::map<std::string, int> RowsIn(const std::vector<fs::path>& files) {
    std::map<std::string, int> rows;
    for (const auto& csv : files) {
        const std::string bytes = ReadBytes(csv);
        EXPECT_TRUE(bytes.ends_with("\r\n")) << csv;
        EXPECT_EQ(std::count(bytes.begin(), bytes.end(), '"') % 28, 0) << "a line cut short";
        for (std::size_t at = bytes.find("\r\n\"https://"); at != std::string::npos;
             at = bytes.find("\r\n\"https://", at)) {
            at = bytes.find("/biddings/", at) + 10;
            ++rows[bytes.substr(at, bytes.find('"', at) - at)];
        }
    }
    return rows;
}

struct Truth {
    std::set<std::string> trades;
    std::map<std::string, int> lots;  // of the trades that have any
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
            truth.lots[guid] = std::stoi(body.substr(lots));
    }
    return truth;
}

class HarvestKillTest : public testing::TestWithParam<bool> {};

TEST_P(HarvestKillTest, EveryTradeIsWrittenOnceWhereverTheRunsWereKilled) {
    const bool withStore = GetParam();
    TempDir dir;
    ASSERT_EQ(::system(("'" + tools::SimProcess::DefaultBinary() + "' --write-client-cert '" +
                        dir.path().string() + "'")
                           .c_str()),
              0);
    tools::SimProcess sim(
        {"--port", "0", "--trades", "200", "--seed", "11", "--require-client-cert"});
    const Truth truth = TruthOf(sim, "regions=77,23");
    ASSERT_GT(truth.lots.size(), 20u);
    std::vector<std::string> args = {"-r", "77,23", "-i"};
    if (withStore)
        args.push_back("--store=" + (dir / "korvalot.sqlite").string());

    // Each kill comes once the killed run's own results file has grown to that many bytes: as
    // soon as it exists, then further in. A run that ends first is simply run again.
    int kills = 0;
    for (const std::uintmax_t bytes : {1, 2500, 6000, 10000, 4000}) {
        const auto before = ResultsFiles(dir.path());
        Harvest run(dir.path(), sim.BaseUrl(), args);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(3);
        bool killed = false;
        while (!run.Ended()) {
            ASSERT_LT(std::chrono::steady_clock::now(), deadline) << ReadBytes(dir / ".stderr");
            for (const auto& csv : ResultsFiles(dir.path())) {
                std::error_code error;
                if (std::find(before.begin(), before.end(), csv) == before.end() &&
                    fs::file_size(csv, error) >= bytes && !error) {
                    run.Kill();
                    killed = true;
                }
            }
            if (killed)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        const int status = run.Wait();
        if (killed && status == 128 + SIGKILL)
            ++kills;
        else
            EXPECT_EQ(status, 0) << ReadBytes(dir / ".stderr");
    }
    EXPECT_GE(kills, 3) << "the runs ended before they could be killed";

    Harvest last(dir.path(), sim.BaseUrl(), args);
    ASSERT_EQ(last.Wait(), 0) << ReadBytes(dir / ".stderr");
    // A run that followed a kill and ended wrote its log: it completed the killed run's
    // bookkeeping first.
    bool completed = false;
    for (const auto& entry : fs::directory_iterator(dir.path())) {
        const std::string name = entry.path().filename().string();
        if (name.starts_with("log-"))
            completed = completed || ReadBytes(entry.path()).find(
                                         "Учёт прерванного запуска завершён") != std::string::npos;
    }
    EXPECT_TRUE(completed);

    EXPECT_EQ(RowsIn(ResultsFiles(dir.path())), truth.lots) << "rows missing or written twice";
    const std::vector<std::string> lines = util::ReadListFile(dir / "skip.txt");
    std::multiset<std::string> named;
    for (const std::string& line : lines) {
        ASSERT_TRUE(line.starts_with(sim.BaseUrl() + "/biddings/")) << line;
        named.insert(line.substr(sim.BaseUrl().size() + 10));
    }
    EXPECT_EQ(std::set<std::string>(named.begin(), named.end()), truth.trades);
    EXPECT_EQ(named.size(), truth.trades.size()) << "a trade named twice in skip.txt";
    EXPECT_FALSE(fs::exists(dir / "skip.txt.run")) << "the last run left its mark";
}

INSTANTIATE_TEST_SUITE_P(Runs, HarvestKillTest, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "WithAStore" : "ResultsFileOnly");
                         });

}  // namespace
}  // namespace korvalot
