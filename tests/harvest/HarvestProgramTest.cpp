// korvalot-harvest as a scheduler runs it: a real process against the register simulator.
#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <thread>

#include "crawl/fakes/TempDir.h"
#include "support/ReachableCopy.h"
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
    // uid: run as that user instead (root only), the program at `program`, which that user
    // must be able to reach. fileSizeLimit: no file may grow past it, as on a disk that is full
    // (the signal a process gets for it ignored, so that writes fail).
    Harvest(const fs::path& dir, const std::string& url, const std::vector<std::string>& args,
            std::optional<uid_t> uid = std::nullopt,
            std::optional<rlim_t> fileSizeLimit = std::nullopt,
            const fs::path& program = HARVEST_PATH)
        : dir_(dir) {
        pid_ = ::fork();
        if (pid_ == 0) {
            if (::chdir(dir.c_str()) != 0)
                ::_exit(120);
            if (fileSizeLimit) {
                ::signal(SIGXFSZ, SIG_IGN);
                const rlimit limit{*fileSizeLimit, *fileSizeLimit};
                if (::setrlimit(RLIMIT_FSIZE, &limit) != 0)
                    ::_exit(123);
            }
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
            std::vector<char*> argv{const_cast<char*>(program.c_str())};
            for (const auto& arg : args)
                argv.push_back(const_cast<char*>(arg.c_str()));
            argv.push_back(nullptr);
            ::execv(program.c_str(), argv.data());
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
    std::set<std::string> trades;     // every trade of the selection
    std::set<std::string> withLots;   // those that give rows
    std::map<std::string, int> lots;  // rows of each trade that has any
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
        if (body[lots] != '0') {
            truth.withLots.insert(guid);
            truth.lots[guid] = std::stoi(body.substr(lots));
        }
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

// The trades skip.txt names at the register, lines of other registers left out.
std::set<std::string> SkipLinesAt(const fs::path& skip, const std::string& url) {
    std::set<std::string> trades;
    if (!fs::exists(skip))
        return trades;
    for (const std::string& line : util::ReadListFile(skip)) {
        if (line.starts_with(url + "/biddings/"))
            trades.insert(line.substr(url.size() + 10));
    }
    return trades;
}

// The rows of each trade in results files, counted over all of them.
std::map<std::string, int> RowsIn(const std::vector<fs::path>& files) {
    std::map<std::string, int> rows;
    for (const auto& csv : files) {
        const std::string bytes = ReadBytes(csv);
        for (std::size_t at = bytes.find("\r\n\"https://"); at != std::string::npos;
             at = bytes.find("\r\n\"https://", at)) {
            at = bytes.find("/biddings/", at) + 10;
            ++rows[bytes.substr(at, bytes.find('"', at) - at)];
        }
    }
    return rows;
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
    // The pointer to the help follows a mistake in the words only: the help cannot make a
    // folder writable or add a region to the register.
    const struct {
        std::vector<std::string> args;
        std::string message;
        bool help;
    } cases[] = {
        {{"-r", "77", "--from", "2026-02-30"}, "--from: дата должна быть", true},
        {{"-r", "77", "--from", "2026-03-02", "--to", "2026-03-01"}, "--from позже --to", true},
        {{"-r", "77", "-T", "Auction"}, "неизвестный вид торгов Auction", true},
        {{"--regions", "78", "extra", "--output", "out"}, "лишний аргумент extra", true},
        {{"-r", "77", "-q", "-v"}, "--quiet и --verbose", true},
        {{"-r", "77,98"}, "нет региона с кодом 98", false},
        // Codes and empty lists are refused before the register is asked for its directory.
        {{"-r", "77,999"}, "--regions: 999 - не код региона", true},
        {{"-r", "abc"}, "--regions: abc - не код региона", true},
        {{"-r", ""}, "--regions: не указан ни один регион", true},
        {{"-r", ","}, "--regions: не указан ни один регион", true},
        {{"-r", "77", "--types", ","}, "--types: не указан ни один вид торгов", true},
        {{"-r", "all", "-r", "77"}, "--regions: all вместе с кодами", true},
        // An option that would have no effect in the combination given.
        {{"-r", "77", "--refresh"}, "--refresh без --store", true},
        {{"-r", "77", "--store", "s.sqlite", "--refresh", "-i"}, "--incremental и --refresh", true},
        {{"-r", "77", "--store", "s.sqlite", "--refresh", "-s", "skip.txt"},
         "--skip-file и --refresh",
         true},
        {{"-r", "77", "--refresh-days", "9"}, "--refresh-days без --refresh", true},
        {{"-r", "77", "-o", "a-file/sub"}, "папку a-file/sub не создать: Not a directory", false},
        {{"-r", "77", "-o", "a-file"}, "в папку a-file нельзя записывать", false},
        {{"-r", "77", "-i", "-s", "missing/skip.txt"}, "--skip-file: в папку missing", false},
        {{"-r", "77", "--summary-json", "missing/s.json"},
         "--summary-json: в папку missing",
         false},
        {{"-r", "77", "--incremental=yes"}, "--incremental=yes", true},
        {{}, "не выбран ни один регион", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        const Outcome o = RunHarvest(dir.path(), sim.BaseUrl(), c.args);
        EXPECT_EQ(o.status, 2);
        EXPECT_TRUE(o.err.starts_with("korvalot-harvest: ")) << o.err;
        EXPECT_NE(o.err.find(c.message), std::string::npos) << o.err;
        EXPECT_EQ(o.err.ends_with(" (--help: справка)\n"), c.help) << o.err;
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
    EXPECT_EQ(std::count(noCertificate.err.begin(), noCertificate.err.end(), '\n'), 1)
        << noCertificate.err;
    EXPECT_TRUE(Files(bare.path()).empty());
}

// A port of the loopback that refuses connections (bound, never listening), or one that takes
// them and never says a word (listening, the test accepting them itself).
class LoopbackPort {
public:
    explicit LoopbackPort(bool listen) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
            (listen && ::listen(fd_, 4) != 0) ||
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size) != 0)
            ADD_FAILURE() << "no loopback port";
        port_ = ntohs(address.sin_port);
    }
    ~LoopbackPort() {
        for (const int fd : accepted_)
            ::close(fd);
        ::close(fd_);
    }
    std::string Url() const { return "https://127.0.0.1:" + std::to_string(port_); }
    std::string HostAndPort() const { return "127.0.0.1:" + std::to_string(port_); }
    // Waits up to a minute for a connection and keeps it open, silent.
    bool Accept() {
        pollfd ready{fd_, POLLIN, 0};
        if (::poll(&ready, 1, 60000) != 1)
            return false;
        const int fd = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0)
            accepted_.push_back(fd);
        return fd >= 0;
    }

private:
    int fd_ = -1;
    int port_ = 0;
    std::vector<int> accepted_;
};

// An unreachable register: one line that names the host and the system's reason, no help.
TEST_F(HarvestProgramTest, ANetworkFailureNamesTheHostAndTheReasonOnOneLine) {
    TempDir dir;
    WriteCertificates(dir.path());
    const LoopbackPort refusing(false);
    const Outcome o =
        RunHarvest(dir.path(), refusing.Url(), {"-r", "77", "-q", "--summary-json", "s.json"});
    EXPECT_EQ(o.status, 3) << o.err;
    const std::string line =
        "справочник регионов не загружен с " + refusing.HostAndPort() + ": Connection refused";
    EXPECT_EQ(o.err, "korvalot-harvest: " + line + "\n");
    // The summary is written after a failure too.
    const auto summary = nlohmann::json::parse(ReadBytes(dir / "s.json"));
    EXPECT_EQ(summary["exitStatus"], 3);
    EXPECT_EQ(summary["error"], line);
    EXPECT_EQ(summary["outcome"], "not-started");
}

// A register that accepts the connection and never answers holds the directory load for two
// minutes; a stop signal does not wait for them.
TEST_F(HarvestProgramTest, AStopSignalEndsTheProgramWhileTheDirectoryLoadWaits) {
    for (const int signal : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(signal);
        TempDir dir;
        WriteCertificates(dir.path());
        LoopbackPort silent(true);
        Harvest harvest(dir.path(), silent.Url(),
                        {"-r", "77", "-o", "out", "--summary-json", "summary.json"});
        ASSERT_TRUE(silent.Accept()) << "the program never asked for the directory";
        harvest.Signal(signal);
        const Outcome o = harvest.Wait();
        EXPECT_EQ(o.status, 128 + signal) << o.err;
        EXPECT_EQ(o.err, "");
        EXPECT_EQ(Files(dir / "out"), std::set<std::string>{});
        const auto summary = nlohmann::json::parse(ReadBytes(dir / "summary.json"));
        EXPECT_EQ(summary["exitStatus"], 128 + signal);
        EXPECT_EQ(summary["outcome"], "not-started");
        EXPECT_TRUE(summary["counts"].is_null());
        EXPECT_EQ(summary["files"], nlohmann::json::object());
    }
}

// A folder the user may not write to, as a real process of a user without the right: for the
// output a bad argument, for the store a store refused.
TEST_F(HarvestProgramTest, AFolderTheUserCannotWriteToIsRefusedWithItsStatus) {
    TempDir dir;
    fs::permissions(dir.path(), fs::perms::owner_all | fs::perms::group_read |
                                    fs::perms::group_exec | fs::perms::others_read |
                                    fs::perms::others_exec);
    fs::create_directory(dir / "locked");
    fs::permissions(dir / "locked", fs::perms::owner_read | fs::perms::owner_exec |
                                        fs::perms::group_read | fs::perms::group_exec |
                                        fs::perms::others_read | fs::perms::others_exec);
    fs::create_directory(dir / "open");
    fs::permissions(dir / "open", fs::perms::all);
    // Root writes anywhere: the program then runs as "nobody", from a copy that user can
    // reach (the build folder may be in a home only root can enter).
    const std::optional<uid_t> user = ::geteuid() == 0 ? std::optional<uid_t>(65534) : std::nullopt;
    std::optional<testing::ReachableCopy> copy;
    fs::path program = HARVEST_PATH;
    if (user) {
        copy.emplace(HARVEST_PATH);
        if (const std::string why = copy->WhyNotRunnableBy(*user, *user); !why.empty())
            GTEST_SKIP() << "the user " << *user << " cannot run the program's copy: " << why;
        program = copy->path();
    }
    const struct {
        std::vector<std::string> args;
        int status;
        std::string message;
    } cases[] = {
        {{"-r", "77", "-o", "locked"}, 2, "в папку locked нельзя записывать: Permission denied"},
        {{"-r", "77", "-o", "open", "--store", "locked/s.sqlite"},
         3,
         "--store: в папку locked нельзя записывать: Permission denied"},
        {{"-r", "77", "-o", "open", "--store", "locked/new/s.sqlite"},
         3,
         "--store: папку locked/new не создать: Permission denied"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        Harvest harvest(dir.path(), "https://127.0.0.1:9", c.args, user, std::nullopt, program);
        const Outcome o = harvest.Wait();
        EXPECT_EQ(o.status, c.status) << o.err;
        EXPECT_EQ(o.err, "korvalot-harvest: " + c.message + "\n");
        EXPECT_TRUE(fs::is_empty(dir / "locked"));
    }
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
    // Every answer comes seconds after its request, so the refusal below cuts the run's search
    // however late the test gets to it.
    tools::SimProcess sim(SimArgs(40, {"--latency-ms", "3000"}));
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

// The stem korvalot-harvest gives the files of a run started at that moment.
std::string StemAt(std::chrono::system_clock::time_point when) {
    const std::time_t t = std::chrono::system_clock::to_time_t(when);
    std::tm local{};
    localtime_r(&t, &local);
    char text[32];
    return std::string(text, std::strftime(text, sizeof text, "%Y-%m-%d_%H%M%S", &local));
}

// The first number the pattern's group catches in the text, -1 when the pattern is not there.
std::int64_t NumberAfter(const std::string& text, const std::string& pattern) {
    std::smatch match;
    if (!std::regex_search(text, match, std::regex(pattern)))
        return -1;
    return std::stoll(match[1].str());
}

std::string TextAfter(const std::string& text, const std::string& label) {
    const std::size_t at = text.find(label);
    if (at == std::string::npos)
        return {};
    const std::size_t start = at + label.size();
    return text.substr(start, text.find('\n', start) - start);
}

// A run that met faults and recovered from every one: the summary file a script reads says what
// the closing lines say, number for number and file for file.
TEST_F(HarvestProgramTest, TheSummaryFileAgreesWithTheClosingLines) {
    TempDir dir;
    WriteCertificates(dir.path());
    tools::SimProcess sim(SimArgs(60, {"--fail-first", "3", "--fault-kinds", "503,500"}));
    const Outcome o =
        RunHarvest(dir.path(), sim.BaseUrl(),
                   {"-r", "77,23", "-w", "-i", "-o", "out/daily", "--summary-json", "out/s.json"});
    ASSERT_EQ(o.status, 0) << o.err;
    const auto summary = nlohmann::json::parse(ReadBytes(dir / "out" / "s.json"));
    EXPECT_EQ(summary["exitStatus"], 0);
    EXPECT_EQ(summary["outcome"], "finished");
    EXPECT_TRUE(summary["error"].is_null());
    EXPECT_EQ(summary["selection"]["regions"], (nlohmann::json{"77", "23"}));
    EXPECT_EQ(summary["selection"]["types"].size(), 6u);

    const auto& counts = summary["counts"];
    const std::string queries =
        R"(: Поисковых запросов: (\d+), не удалось: (\d+); реестр сообщил о торгах: (\d+); )"
        R"(найдено торгов: (\d+); пропущено по skip.txt: (\d+)\n)";
    std::smatch q;
    ASSERT_TRUE(std::regex_search(o.err, q, std::regex(queries))) << o.err;
    EXPECT_EQ(counts["searchQueries"], std::stoll(q[1]));
    EXPECT_EQ(counts["searchQueriesFailed"], std::stoll(q[2]));
    EXPECT_EQ(counts["tradesReported"], std::stoll(q[3]));
    EXPECT_EQ(counts["tradesFound"], std::stoll(q[4]));
    EXPECT_EQ(counts["skippedBySkipFile"], std::stoll(q[5]));
    const std::string cards =
        R"(: Карточек получено: (\d+), не удалось получить: (\d+); строк записано: (\d+); )"
        R"(торгов не достать ни одним запросом: (\d+)\n)";
    std::smatch c;
    ASSERT_TRUE(std::regex_search(o.err, c, std::regex(cards))) << o.err;
    EXPECT_EQ(counts["cardsFetched"], std::stoll(c[1]));
    EXPECT_EQ(counts["cardsFailed"], std::stoll(c[2]));
    EXPECT_EQ(counts["rowsWritten"], std::stoll(c[3]));
    EXPECT_EQ(counts["unreachableTrades"], std::stoll(c[4]));
    EXPECT_GT(counts["cardsFetched"].get<std::int64_t>(), 5);
    // Every fault the register made was met by one more attempt.
    const std::int64_t faults = NumberAfter(sim.Get("/sim/stats").body, R"("faultsTotal":(\d+))");
    EXPECT_GE(faults, 3 * (counts["searchQueries"].get<std::int64_t>() +
                           3 * counts["cardsFetched"].get<std::int64_t>()));
    EXPECT_EQ(counts["retriedAttempts"], faults);
    EXPECT_EQ(NumberAfter(o.err, R"(: Повторных попыток запросов после сбоев: (\d+)\n)"), faults);

    // The files, each named once in the closing lines, under one stem: the start's local time.
    const auto& files = summary["files"];
    EXPECT_EQ(files["results"], TextAfter(o.err, ": Файл с результатами: "));
    EXPECT_EQ(files["workbook"], TextAfter(o.err, ": Книга с результатами: "));
    EXPECT_EQ(files["guids"], TextAfter(o.err, ": Список найденных торгов: "));
    EXPECT_EQ(files["log"], TextAfter(o.err, ": Работа завершена, лог записан в "));
    EXPECT_EQ(files["skip"], "out/daily/skip.txt");
    const std::string start = summary["start"];
    ASSERT_GE(start.size(), 19u) << start;
    const std::string stem =
        start.substr(0, 10) + "_" + start.substr(11, 2) + start.substr(14, 2) + start.substr(17, 2);
    EXPECT_EQ(files["results"], "out/daily/data-" + stem + ".csv");
    EXPECT_EQ(files["workbook"], "out/daily/data-" + stem + ".xlsx");
    EXPECT_EQ(files["guids"], "out/daily/guids-" + stem + ".txt");
    EXPECT_EQ(files["log"], "out/daily/log-" + stem + ".txt");
    EXPECT_EQ(
        Files(dir / "out" / "daily"),
        (std::set<std::string>{"data-" + stem + ".csv", "data-" + stem + ".xlsx",
                               "guids-" + stem + ".txt", "log-" + stem + ".txt", "skip.txt"}));
    EXPECT_EQ(Occurrences(o.err, "Открываем файл с результатами"), 0u) << o.err;
    EXPECT_EQ(
        Occurrences(ReadBytes(dir / files["log"].get<std::string>()), ": Файл с результатами: "),
        1u);

    // The progress line: each phase's first shows at once, from nothing done, and a wait for the
    // register is said as such, not counted down.
    for (const std::string first : {"Поиск: 0 из ", "Карточки: 0 из "})
        EXPECT_NE(o.err.find(first), std::string::npos) << first << o.err;
    EXPECT_NE(o.err.find(", ждём ответа реестра, запросов повторяется: "), std::string::npos)
        << o.err;
}

// A quiet scheduled run that succeeds says nothing; the names of a run that started in the same
// second as an earlier one (or whose clock was set back) give way, all of them together.
TEST_F(HarvestProgramTest, AQuietRunSaysNothingAndReplacesNoEarlierFile) {
    TempDir dir;
    WriteCertificates(dir.path());
    fs::create_directory(dir / "out");
    // The results files of earlier runs at every second the run may start at.
    const auto now = std::chrono::system_clock::now();
    std::vector<std::string> stems;
    for (int k = 0; k < 60; ++k) {
        stems.push_back(StemAt(now + std::chrono::seconds(k)));
        WriteBytes(dir / "out" / ("data-" + stems.back() + ".csv"), "earlier");
    }
    tools::SimProcess sim(SimArgs(40));
    const Outcome o = RunHarvest(dir.path(), sim.BaseUrl(),
                                 {"-r", "77", "-q", "-w", "-o", "out", "--summary-json", "s.json"});
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(o.out, "");
    const auto summary = nlohmann::json::parse(ReadBytes(dir / "s.json"));
    const std::string results = summary["files"]["results"];
    std::string stem = results.substr(std::string("out/data-").size());
    stem.resize(stem.size() - 4);
    ASSERT_TRUE(stem.ends_with("-2")) << results;
    EXPECT_NE(std::find(stems.begin(), stems.end(), stem.substr(0, stem.size() - 2)), stems.end());
    EXPECT_EQ(summary["files"]["workbook"], "out/data-" + stem + ".xlsx");
    EXPECT_EQ(summary["files"]["log"], "out/log-" + stem + ".txt");
    EXPECT_EQ(summary["files"]["guids"], "out/guids-" + stem + ".txt");
    for (const auto& earlier : stems)
        EXPECT_EQ(ReadBytes(dir / "out" / ("data-" + earlier + ".csv")), "earlier");
    EXPECT_GT(ReadBytes(dir / results).size(), 509u);

    // A quiet run that went wrong tells what it could not do. A register that answers 500 to
    // everything is down: the run waits no longer for it.
    tools::SimProcess failing(SimArgs(40, {"--fail-first", "1000", "--fault-kinds", "500"}));
    const Outcome bad = RunHarvest(dir.path(), failing.BaseUrl(),
                                   {"-r", "77", "-T", "OpenAuction", "-q", "--outage-limit", "0"});
    EXPECT_EQ(bad.status, 1) << bad.err;
    EXPECT_NE(bad.err.find(": Поисковых запросов: 1, не удалось: 1;"), std::string::npos)
        << bad.err;
    EXPECT_EQ(bad.err.find("Поиск: "), std::string::npos) << bad.err;
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
    EXPECT_EQ(FilesLike(dir / "out", "guids-", ".txt").size(), 1u);

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

// A full disk, as a file-size limit in the child: the run that meets it ends with status 1 and
// leaves every file whole, skip.txt naming exactly the trades whose rows are in the results file;
// a run with room afterwards completes the harvest without a line written twice.
struct FullDiskCase {
    const char* name;
    std::size_t skipFiller;  // bytes already in skip.txt, of lines that name no trade
    rlim_t room;             // bytes any file may take beyond the filler
    const char* says;        // the line of the run that met the full disk
    const char* summary;
    int status;  // 3: no card was asked for, as the results file could not be created
    // Whether the log file has room; with room for neither it nor the program's own output
    // (written to a file under the same limit here), only the files are checked.
    enum { LogWritten, LogNotWritten, OutputCut } log;
};

void PrintTo(const FullDiskCase& c, std::ostream* os) {
    *os << c.name;
}

class HarvestFullDiskTest : public HarvestProgramTest,
                            public ::testing::WithParamInterface<FullDiskCase> {};

TEST_P(HarvestFullDiskTest, EndsTheRunWithoutAPauseAndTheNextRunCompletesTheHarvest) {
    const FullDiskCase& c = GetParam();
    TempDir dir;
    WriteCertificates(dir.path());
    tools::SimProcess sim(SimArgs(160));
    const Truth truth = TruthOf(sim, "regions=77,23");
    ASSERT_GT(truth.withLots.size(), 20u);
    const std::string url = sim.BaseUrl();
    std::string filler;
    for (int k = 0; filler.size() < c.skipFiller; ++k)
        filler += "https://elsewhere.test/biddings/" + std::to_string(k) + "\r\n";
    if (!filler.empty())
        WriteBytes(dir / "skip.txt", filler);
    const std::vector<std::string> args = {"-r", "77,23", "-i"};

    Harvest full(dir.path(), url, args, std::nullopt, filler.size() + c.room);
    const Outcome o = full.Wait();
    EXPECT_EQ(o.status, c.status) << o.err;
    const auto logs = FilesLike(dir.path(), "log-", ".txt");
    EXPECT_EQ(logs.empty(), c.log != FullDiskCase::LogWritten);
    if (c.log != FullDiskCase::OutputCut) {
        EXPECT_NE(o.err.find(c.says), std::string::npos) << o.err;
        EXPECT_NE(o.err.find("сбор карточек прекращён; торгов не опрошено: "), std::string::npos)
            << o.err;
        EXPECT_NE(o.err.find(c.summary), std::string::npos) << o.err;
        // Nothing would be retried, so neither the pause nor the line of a finished harvest.
        EXPECT_EQ(o.err.find("Включаем паузу"), std::string::npos) << o.err;
        EXPECT_EQ(o.err.find("Сбор данных завершен"), std::string::npos) << o.err;
        // The closing line names the log file only when it was written.
        if (logs.empty()) {
            EXPECT_NE(o.err.find(": Работа завершена; лог записать в ./log-"), std::string::npos)
                << o.err;
            EXPECT_EQ(o.err.find("лог записан в"), std::string::npos) << o.err;
        } else {
            const std::string closing = ": Работа завершена, лог записан в ";
            const std::size_t at = o.err.find(closing);
            ASSERT_NE(at, std::string::npos) << o.err;
            EXPECT_EQ(o.err.substr(at + closing.size(), o.err.find('\n', at) - at - closing.size()),
                      "./" + logs[0].filename().string());
        }
    }

    const auto first = FilesLike(dir.path(), "data", ".csv");
    ASSERT_EQ(first.size(), c.status == 3 ? 0u : 1u);
    const std::set<std::string> written =
        first.empty() ? std::set<std::string>{} : TradesIn(first[0]);
    const std::set<std::string> recorded = SkipLinesAt(dir / "skip.txt", url);
    // skip.txt vouches for rows that are in the file, and for every trade there.
    std::set<std::string> recordedWithLots;
    for (const auto& trade : recorded) {
        EXPECT_TRUE(truth.trades.contains(trade)) << trade;
        if (truth.withLots.contains(trade))
            recordedWithLots.insert(trade);
    }
    EXPECT_EQ(recordedWithLots, written);
    EXPECT_LT(written.size(), truth.withLots.size()) << "the disk never filled";
    for (const auto& [trade, rows] : RowsIn(first))
        EXPECT_EQ(rows, truth.lots.at(trade)) << "a trade written in part: " << trade;

    // Room again: the next run fetches what the first did not record, and nothing twice.
    const Outcome again = RunHarvest(dir.path(), url, args);
    EXPECT_EQ(again.status, 0) << again.err;
    const auto all = FilesLike(dir.path(), "data", ".csv");
    ASSERT_EQ(all.size(), first.size() + 1);
    EXPECT_EQ(RowsIn(all), truth.lots) << "rows missing or written twice";
    EXPECT_EQ(SkipLinesAt(dir / "skip.txt", url), truth.trades);
}

INSTANTIATE_TEST_SUITE_P(
    Files, HarvestFullDiskTest,
    ::testing::Values(
        // The results file fills after a few trades.
        FullDiskCase{"ResultsFile", 0, 24000, "Ошибка записи файла результатов (",
                     "Итоги: работа прервана: файл результатов не записать", 1,
                     FullDiskCase::LogWritten},
        // It fills at its first trades, and the log does not fit either.
        FullDiskCase{"ResultsFileAndLog", 0, 4000, "Ошибка записи файла результатов (",
                     "Итоги: работа прервана: файл результатов не записать", 1,
                     FullDiskCase::LogNotWritten},
        // Room for not even the header: no card is asked for.
        FullDiskCase{"NoRoomForTheHeader", 0, 400, "", "", 3, FullDiskCase::OutputCut},
        // skip.txt is near its limit already and takes a few lines; every other file is far
        // below it.
        FullDiskCase{"SkipFile", 4 << 20, 900, "Ошибка записи skip.txt (",
                     "Итоги: работа прервана: skip.txt не дописать", 1, FullDiskCase::LogWritten}),
    [](const ::testing::TestParamInfo<FullDiskCase>& info) {
        return std::string(info.param.name);
    });

// A stop that comes while the region directory loads ends the program before a run begins:
// no run, so neither a log file nor a results file.
TEST_F(HarvestProgramTest, AStopDuringTheDirectoryLoadStartsNoRun) {
    TempDir dir;
    WriteCertificates(dir.path());
    // The directory's answer would come a minute later: the signal surely lands during the load.
    tools::SimProcess sim(SimArgs(40, {"--latency-ms", "60000"}));
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
    Harvest harvest(dir.path(), sim.BaseUrl(),
                    {"-r", "77,23", "-i", "-v", "--summary-json", "s.json"});
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

    // The summary of a stopped run: what it did before the stop, and its files.
    const auto summary = nlohmann::json::parse(ReadBytes(dir / "s.json"));
    EXPECT_EQ(summary["exitStatus"], 128 + SIGINT);
    EXPECT_EQ(summary["outcome"], "stopped");
    EXPECT_EQ(fs::path(summary["files"]["results"].get<std::string>()).filename(),
              csv[0].filename());
    EXPECT_EQ(fs::path(summary["files"]["log"].get<std::string>()).filename(), logs[0].filename());
    EXPECT_GE(summary["counts"]["cardsFetched"].get<std::int64_t>(), 3);
}

}  // namespace
}  // namespace korvalot
