// The export's output file against what may stand in its place: links and fifos at its name or
// where its temporary name could be guessed, a file-size limit half way, a workbook of more rows
// than a sheet holds. Real stores, real files, the real workbook library.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "crawl/ResultsFile.h"
#include "crawl/fakes/TempDir.h"
#include "json/JsonValue.h"
#include "store/StoreExport.h"
#include "store/TradeStore.h"

namespace korvalot::store {
namespace {

using crawl::testing_support::ReadBytes;
using crawl::testing_support::TempDir;
using crawl::testing_support::WriteBytes;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A store of trades with lots each, every lot's description its own text that does not
// compress, so that a size limit on the output is met half way.
class StoreFile {
public:
    StoreFile(int trades, int lots) {
        TradeStore store(path());
        store.Begin({dir_ / "data1.csv", "https://register.test", ".", {"г. Москва (77)"}});
        std::uint32_t noise = 12345;
        for (int t = 0; t < trades; ++t) {
            const std::string guid = "guid-" + std::to_string(t);
            std::vector<crawl::ResultRow> rows;
            for (int k = 0; k < lots; ++k) {
                crawl::ResultRow row;
                row.guid = guid;
                row.region = "г. Москва";
                row.number = std::to_string(1000 + t);
                row.datePublish = "24.04.2026 06:48";
                row.debtorName = "ООО Ромашка";
                row.startPrice = std::to_string(1500000 + t) + ".5";
                row.currentPrice = "null";
                row.lotDescription = "Лот " + std::to_string(k + 1) + ": ";
                for (int c = 0; c < 40; ++c) {
                    noise = noise * 1103515245u + 12345u;
                    row.lotDescription += std::to_string(noise >> 8);
                }
                rows.push_back(row);
            }
            store.TradeWritten(guid, "г. Москва", json::Parse(R"({"tradeType":"OpenAuction"})"),
                               rows);
        }
    }

    fs::path path() const { return dir_ / "korvalot.sqlite"; }

private:
    TempDir dir_;
};

std::vector<std::string> Names(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

struct stat LinkStat(const fs::path& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0)
        ADD_FAILURE() << "lstat " << path << ": " << std::strerror(errno);
    return st;
}

mode_t ModeOf(const fs::path& path) {
    return LinkStat(path).st_mode & 07777;
}

// The start every output of its format has: the results file's header, or a zip archive.
std::string Opening(ExportFormat format) {
    return format == ExportFormat::Csv
               ? "\xEF\xBB\xBF" + std::string(crawl::ResultsFile::kHeader)
               : std::string("PK\x03\x04", 4);
}

// The temporary name the export used before it was made random.
std::string GuessedTemporaryName(const std::string& output) {
    return output + ".tmp-" + std::to_string(::getpid());
}

struct OutputCase {
    const char* what;
    // Prepares the folder for an export to "out" + the format's extension; "victim.txt"
    // ("victim", mode 0604) stands beside it. Fifos get a reader that never blocks: a write
    // into one shows as bytes, not as a hang. Returns the fifos' readers.
    std::function<std::vector<int>(const fs::path& dir, const std::string& output)> place;
    mode_t mode;  // the output's afterwards; 0: what a plain create gives
    bool guessedNameStays;
};

struct OutputParam {
    OutputCase place;
    ExportFormat format;
};

void PrintTo(const OutputParam& p, std::ostream* os) {
    *os << p.place.what << (p.format == ExportFormat::Csv ? " (.csv)" : " (.xlsx)");
}

int FifoWithReader(const fs::path& path) {
    if (::mkfifo(path.c_str(), 0666) != 0)
        ADD_FAILURE() << "mkfifo " << path;
    return ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
}

const OutputCase kOutputCases[] = {
    {"a link at the output to another file",
     [](const fs::path& dir, const std::string& output) {
         fs::create_symlink(dir / "victim.txt", dir / output);
         return std::vector<int>{};
     },
     0, false},
    {"a fifo where the temporary name could be guessed",
     [](const fs::path& dir, const std::string& output) {
         WriteBytes(dir / output, "old");
         ::chmod((dir / output).c_str(), 0644);
         return std::vector<int>{FifoWithReader(dir / GuessedTemporaryName(output))};
     },
     0644, true},
    {"a link to another file where the temporary name could be guessed",
     [](const fs::path& dir, const std::string& output) {
         WriteBytes(dir / output, "old");
         ::chmod((dir / output).c_str(), 0644);
         fs::create_symlink(dir / "victim.txt", dir / GuessedTemporaryName(output));
         return std::vector<int>{};
     },
     0644, true},
    {"an output of mode 0600",
     [](const fs::path& dir, const std::string& output) {
         WriteBytes(dir / output, "old");
         ::chmod((dir / output).c_str(), 0600);
         return std::vector<int>{};
     },
     0600, false},
    {"an output of mode 0640",
     [](const fs::path& dir, const std::string& output) {
         WriteBytes(dir / output, "old");
         ::chmod((dir / output).c_str(), 0640);
         return std::vector<int>{};
     },
     0640, false},
};

std::vector<OutputParam> OutputParams() {
    std::vector<OutputParam> params;
    for (const ExportFormat format : {ExportFormat::Csv, ExportFormat::Workbook}) {
        for (const OutputCase& c : kOutputCases)
            params.push_back({c, format});
    }
    return params;
}

class ExportOutputTest : public testing::TestWithParam<OutputParam> {};

TEST_P(ExportOutputTest, TheOutputIsReplacedAndNothingElseIsWrittenOrLeft) {
    const OutputParam& p = GetParam();
    const StoreFile store(2, 2);
    TempDir dir;
    const std::string output = p.format == ExportFormat::Csv ? "out.csv" : "out.xlsx";
    WriteBytes(dir / "victim.txt", "victim");
    ::chmod((dir / "victim.txt").c_str(), 0604);
    const std::vector<int> readers = p.place.place(dir.path(), output);
    WriteBytes(dir / "probe", "");
    const mode_t plain = ModeOf(dir / "probe");
    fs::remove(dir / "probe");

    const auto db = OpenStoreForReading(store.path(), 1s);
    const ExportCounts counts = ExportRows(*db, {}, dir / output, p.format, ".");

    EXPECT_EQ(counts.rows, 4);
    EXPECT_TRUE(S_ISREG(LinkStat(dir / output).st_mode)) << "the output is a file of its own";
    EXPECT_TRUE(ReadBytes(dir / output).starts_with(Opening(p.format)));
    EXPECT_EQ(ModeOf(dir / output), p.place.mode != 0 ? p.place.mode : plain);
    EXPECT_EQ(ReadBytes(dir / "victim.txt"), "victim");
    EXPECT_EQ(ModeOf(dir / "victim.txt"), 0604u);
    for (const int reader : readers) {
        char byte;
        EXPECT_LE(::read(reader, &byte, 1), 0) << "nothing is written into the fifo";
        ::close(reader);
    }
    std::vector<std::string> expected = {output, "victim.txt"};
    if (p.place.guessedNameStays)
        expected.push_back(GuessedTemporaryName(output));
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(Names(dir.path()), expected) << "no temporary file is left";
}

INSTANTIATE_TEST_SUITE_P(Exports, ExportOutputTest, testing::ValuesIn(OutputParams()));

// What a child process did: its exit code (128 + the signal that ended it), its standard output
// and its standard error.
struct ChildOutcome {
    int exitCode = -1;
    std::string out;
    std::string err;
};

std::string ReadAll(int fd) {
    std::string bytes;
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0)
        bytes.append(buffer, static_cast<std::size_t>(n));
    return bytes;
}

ChildOutcome RunChild(const fs::path& errFile, const std::function<int()>& body) {
    int pipeEnds[2];
    if (::pipe(pipeEnds) != 0)
        return {};
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(pipeEnds[0]);
        ::dup2(pipeEnds[1], STDOUT_FILENO);
        const int err = ::open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(err, STDERR_FILENO);
        const int code = body();
        std::fflush(stdout);
        std::fflush(stderr);
        ::_exit(code);
    }
    ::close(pipeEnds[1]);
    ChildOutcome outcome;
    outcome.out = ReadAll(pipeEnds[0]);
    ::close(pipeEnds[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    outcome.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    outcome.err = ReadBytes(errFile);
    return outcome;
}

enum class Limit { FileSize, SmallFileSystem };

// What the child saw after its export: the failure's message, the old output's bytes and mode,
// and the names in its folder.
struct HalfWayOutcome {
    int exitCode = -1;
    std::string message;
    std::string output;
    mode_t mode = 0;
    std::vector<std::string> names;
    std::string err;  // the child's standard error
};

// Exports in a child process that meets the limit half way: a file-size limit (SIGXFSZ ignored,
// so that a write fails instead of killing it), or a file system of 16 KiB mounted over the
// output's folder in a mount namespace of its own (root only; exit code 125 when not allowed).
HalfWayOutcome ExportHalfWay(const fs::path& store, const fs::path& output, ExportFormat format,
                             Limit limit) {
    TempDir errDir;
    const ChildOutcome child = RunChild(errDir / "stderr.txt", [&] {
        if (limit == Limit::SmallFileSystem &&
            (::unshare(CLONE_NEWNS) != 0 ||
             ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
             ::mount("tmpfs", output.parent_path().c_str(), "tmpfs", 0, "size=16k") != 0))
            return 125;
        WriteBytes(output, "old output");
        ::chmod(output.c_str(), 0640);
        int code = 0;
        try {
            const auto db = OpenStoreForReading(store, 1s);
            if (limit == Limit::FileSize) {
                ::signal(SIGXFSZ, SIG_IGN);
                const rlimit size{16384, 16384};
                if (::setrlimit(RLIMIT_FSIZE, &size) != 0)
                    return 3;
            }
            ExportRows(*db, {}, output, format, ".");
            std::printf("written");
            code = 1;
        } catch (const ExportError& e) {
            std::printf("%s", e.what());
        } catch (const std::exception& e) {
            std::printf("%s", e.what());
            code = 2;
        }
        std::printf("\x1f%s\x1f%o", ReadBytes(output).c_str(),
                    static_cast<unsigned>(ModeOf(output)));
        for (const std::string& name : Names(output.parent_path()))
            std::printf("\x1f%s", name.c_str());
        return code;
    });
    HalfWayOutcome outcome;
    outcome.exitCode = child.exitCode;
    outcome.err = child.err;
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (std::size_t at; (at = child.out.find('\x1f', start)) != std::string::npos;
         start = at + 1)
        fields.push_back(child.out.substr(start, at - start));
    fields.push_back(child.out.substr(start));
    if (fields.size() < 3)
        return outcome;
    outcome.message = fields[0];
    outcome.output = fields[1];
    outcome.mode = static_cast<mode_t>(std::stoul(fields[2], nullptr, 8));
    outcome.names.assign(fields.begin() + 3, fields.end());
    return outcome;
}

// The export meets a limit half way: the old output stays as it was, no temporary file is left,
// the failure is the export's one line and nothing of the workbook library reaches the
// standard error stream (which it prints to by itself when the archive cannot be written).
TEST(ExportFileTest, AnExportThatFailsHalfWayLeavesTheOldOutputAndSaysSoInOneLine) {
    const StoreFile store(40, 4);
    const struct {
        Limit limit;
        ExportFormat format;
        int reason;
    } cases[] = {
        {Limit::FileSize, ExportFormat::Csv, EFBIG},
        {Limit::FileSize, ExportFormat::Workbook, EFBIG},
        {Limit::SmallFileSystem, ExportFormat::Csv, ENOSPC},
        {Limit::SmallFileSystem, ExportFormat::Workbook, ENOSPC},
    };
    for (const auto& c : cases) {
        TempDir dir;
        const fs::path output = dir / (c.format == ExportFormat::Csv ? "out.csv" : "out.xlsx");
        SCOPED_TRACE(output.filename().string() +
                     (c.limit == Limit::FileSize ? " under a file-size limit" : " on a full disk"));
        const HalfWayOutcome o = ExportHalfWay(store.path(), output, c.format, c.limit);
        if (o.exitCode == 125) {
            std::printf("not run: mounting a small file system needs root\n");
            continue;
        }
        ASSERT_EQ(o.exitCode, 0) << o.message;
        EXPECT_TRUE(o.message.starts_with("файл " + output.string() + ": ")) << o.message;
        EXPECT_TRUE(o.message.ends_with(std::strerror(c.reason))) << o.message;
        EXPECT_EQ(o.message.find('\n'), std::string::npos) << o.message;
        EXPECT_EQ(o.err, "");
        EXPECT_EQ(o.output, "old output");
        EXPECT_EQ(o.mode, 0640u);
        EXPECT_EQ(o.names, std::vector<std::string>{output.filename().string()});
    }
}

// A workbook of more rows than a sheet holds is refused before anything is written; the limit
// is the test's, so that it needs no million rows. The rows are those the filter takes; a .csv
// has no such limit.
TEST(ExportFileTest, AWorkbookOfMoreRowsThanASheetHoldsIsRefusedBeforeAnythingIsWritten) {
    const StoreFile store(2, 2);
    TradeFilter firstTrade;
    firstTrade.startPriceTo = 1500000.5;
    const struct {
        const char* what;
        ExportFormat format;
        TradeFilter filter;
        std::int64_t limit;
        bool refused;
    } cases[] = {
        {"one row more than the sheet holds", ExportFormat::Workbook, {}, 3, true},
        {"as many rows as the sheet holds", ExportFormat::Workbook, {}, 4, false},
        {"a filter that takes two of them", ExportFormat::Workbook, firstTrade, 3, false},
        {"a results file", ExportFormat::Csv, {}, 3, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        const fs::path output = dir / (c.format == ExportFormat::Csv ? "out.csv" : "out.xlsx");
        WriteBytes(output, "old output");
        const auto db = OpenStoreForReading(store.path(), 1s);
        try {
            const ExportCounts counts = ExportRows(*db, c.filter, output, c.format, ".", c.limit);
            EXPECT_FALSE(c.refused) << "written";
            EXPECT_EQ(counts.rows, c.filter.startPriceTo ? 2 : 4);
            EXPECT_TRUE(ReadBytes(output).starts_with(Opening(c.format)));
        } catch (const ExportError& e) {
            EXPECT_TRUE(c.refused) << e.what();
            EXPECT_EQ(std::string(e.what()),
                      "файл " + output.string() +
                          ": строк 4, а лист книги вмещает не больше 3 и строку заголовка; "
                          "выберите меньше строк или выгрузите в .csv");
            EXPECT_EQ(ReadBytes(output), "old output");
        }
        EXPECT_EQ(Names(dir.path()), std::vector<std::string>{output.filename().string()});
    }
}

}  // namespace
}  // namespace korvalot::store
