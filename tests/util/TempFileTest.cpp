// Whole-file replacement against what another user of a shared folder may put in its way: links
// and fifos at the file's name or where a temporary name could be guessed, a temporary name
// taken over while the file is written, a write that fails half way.
#include "util/TempFile.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
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

#include "crawl/fakes/TempDir.h"
#include "util/Platform.h"

namespace korvalot::util {
namespace {

using crawl::testing_support::ReadBytes;
using crawl::testing_support::TempDir;
using crawl::testing_support::WriteBytes;
namespace fs = std::filesystem;

constexpr uid_t kOtherUid = 65534;  // "nobody" on Debian
constexpr gid_t kOtherGid = 65534;

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

// The mode a plain create gives under the test's umask.
mode_t PlainCreateMode(const fs::path& dir) {
    const fs::path probe = dir / "probe";
    ::close(::open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666));
    const mode_t mode = ModeOf(probe);
    fs::remove(probe);
    return mode;
}

// The names a temporary file had before they were made random: one of this process, counted
// from 0, as the whole-file writes made them, and the export's one per process.
std::vector<std::string> GuessedTemporaryNames(const std::string& name) {
    const std::string pid = std::to_string(::getpid());
    std::vector<std::string> names;
    for (int serial = 0; serial < 4; ++serial)
        names.push_back("." + name + "." + pid + "." + std::to_string(serial) + ".tmp");
    names.push_back(name + ".tmp-" + pid);
    return names;
}

// A folder in which something hostile stands before the file is replaced. Every fifo has a
// reader that never blocks, so that a write into one shows up as bytes instead of a hang.
class Hostile {
public:
    explicit Hostile(const fs::path& dir) : dir_(dir) {}
    ~Hostile() {
        for (const int fd : readers_)
            ::close(fd);
    }
    Hostile(const Hostile&) = delete;
    Hostile& operator=(const Hostile&) = delete;

    void Fifo(const std::string& name) {
        ASSERT_EQ(::mkfifo((dir_ / name).c_str(), 0666), 0) << name;
        readers_.push_back(::open((dir_ / name).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
        ASSERT_GE(readers_.back(), 0) << name;
    }
    void Link(const std::string& name, const fs::path& to) { fs::create_symlink(to, dir_ / name); }

    // Bytes written into any of the fifos.
    std::string FifoBytes() const {
        std::string bytes;
        char buffer[4096];
        for (const int fd : readers_) {
            ssize_t n;
            while ((n = ::read(fd, buffer, sizeof buffer)) > 0)
                bytes.append(buffer, static_cast<std::size_t>(n));
        }
        return bytes;
    }

private:
    fs::path dir_;
    std::vector<int> readers_;
};

struct HostileCase {
    const char* what;
    // Prepares the folder for a write of "settings.ini"; "victim.txt" ("victim", mode 0604)
    // stands beside it.
    std::function<void(Hostile&, const fs::path& dir)> place;
    // The mode the replaced file must have; 0: what a plain create gives.
    mode_t mode;
    // The names in the folder afterwards, besides victim.txt and settings.ini.
    std::function<std::vector<std::string>()> others;
};

void PrintTo(const HostileCase& c, std::ostream* os) {
    *os << c.what;
}

class HostilePlaceTest : public testing::TestWithParam<HostileCase> {};

TEST_P(HostilePlaceTest, TheFileIsReplacedAndNothingElseIsWrittenOrLeft) {
    const HostileCase& c = GetParam();
    TempDir dir;
    const fs::path target = dir / "settings.ini";
    WriteBytes(dir / "victim.txt", "victim");
    ::chmod((dir / "victim.txt").c_str(), 0604);
    Hostile hostile(dir.path());
    c.place(hostile, dir.path());
    if (testing::Test::HasFatalFailure())
        return;
    const mode_t plain = PlainCreateMode(dir.path());

    WriteFileBytes(target, "new\r\n");

    EXPECT_TRUE(S_ISREG(LinkStat(target).st_mode)) << "the file's name is a file of its own";
    EXPECT_EQ(ReadBytes(target), "new\r\n");
    EXPECT_EQ(ModeOf(target), c.mode != 0 ? c.mode : plain);
    EXPECT_EQ(ReadBytes(dir / "victim.txt"), "victim");
    EXPECT_EQ(ModeOf(dir / "victim.txt"), 0604u);
    EXPECT_EQ(hostile.FifoBytes(), "");
    std::vector<std::string> expected = c.others();
    expected.push_back("settings.ini");
    expected.push_back("victim.txt");
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(Names(dir.path()), expected) << "no temporary file is left";
}

std::vector<std::string> NoOthers() {
    return {};
}

INSTANTIATE_TEST_SUITE_P(
    WholeFileWrites, HostilePlaceTest,
    testing::Values(
        HostileCase{"a link at the file's name to another file",
                    [](Hostile& h, const fs::path& dir) { h.Link("settings.ini", dir / "victim.txt"); },
                    0, NoOthers},
        HostileCase{"a link at the file's name to a file not there yet",
                    [](Hostile& h, const fs::path& dir) { h.Link("settings.ini", dir / "made.txt"); },
                    0, NoOthers},
        HostileCase{"a fifo at the file's name",
                    [](Hostile& h, const fs::path&) { h.Fifo("settings.ini"); }, 0, NoOthers},
        HostileCase{"fifos where a temporary name could be guessed",
                    [](Hostile& h, const fs::path& dir) {
                        WriteBytes(dir / "settings.ini", "old");
                        ::chmod((dir / "settings.ini").c_str(), 0644);
                        for (const std::string& name : GuessedTemporaryNames("settings.ini"))
                            h.Fifo(name);
                    },
                    0644, [] { return GuessedTemporaryNames("settings.ini"); }},
        HostileCase{"links to another file where a temporary name could be guessed",
                    [](Hostile& h, const fs::path& dir) {
                        WriteBytes(dir / "settings.ini", "old");
                        ::chmod((dir / "settings.ini").c_str(), 0644);
                        for (const std::string& name : GuessedTemporaryNames("settings.ini"))
                            h.Link(name, dir / "victim.txt");
                    },
                    0644, [] { return GuessedTemporaryNames("settings.ini"); }},
        HostileCase{"a file of mode 0600",
                    [](Hostile&, const fs::path& dir) {
                        WriteBytes(dir / "settings.ini", "old contents, longer than the new");
                        ::chmod((dir / "settings.ini").c_str(), 0600);
                    },
                    0600, NoOthers},
        HostileCase{"a file of mode 0640",
                    [](Hostile&, const fs::path& dir) {
                        WriteBytes(dir / "settings.ini", "old");
                        ::chmod((dir / "settings.ini").c_str(), 0640);
                    },
                    0640, NoOthers}));

// What a child process did: its exit code (128 + the signal that ended it) and its output.
struct ChildOutcome {
    int exitCode = -1;
    std::string output;
};

ChildOutcome RunChild(const std::function<int()>& body) {
    int pipeEnds[2];
    if (::pipe(pipeEnds) != 0)
        return {};
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(pipeEnds[0]);
        ::dup2(pipeEnds[1], STDOUT_FILENO);
        const int code = body();
        std::fflush(stdout);
        ::_exit(code);
    }
    ::close(pipeEnds[1]);
    ChildOutcome outcome;
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(pipeEnds[0], buffer, sizeof buffer)) > 0)
        outcome.output.append(buffer, static_cast<std::size_t>(n));
    ::close(pipeEnds[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    outcome.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return outcome;
}

// A file-size limit stops the write half way: the old file stays as it was, whole, and no
// temporary file is left behind.
TEST(TempFileTest, AWriteThatFailsHalfWayLeavesTheOldFileAndNoTemporary) {
    TempDir dir;
    const fs::path target = dir / "selection1.txt";
    WriteBytes(target, "old selection\r\n");
    ::chmod(target.c_str(), 0640);
    const ChildOutcome child = RunChild([&] {
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{4096, 4096};
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0)
            return 3;
        try {
            WriteFileBytes(target, std::string(64 * 1024, 'x'));
            return 1;
        } catch (const PlatformError& e) {
            std::printf("%s", e.what());
            return 0;
        }
    });
    ASSERT_EQ(child.exitCode, 0) << child.output;
    EXPECT_EQ(child.output, "Cannot write to file \"" + target.string() + "\". " +
                                std::system_category().message(EFBIG));
    EXPECT_EQ(ReadBytes(target), "old selection\r\n");
    EXPECT_EQ(ModeOf(target), 0640u);
    EXPECT_EQ(Names(dir.path()), std::vector<std::string>{"selection1.txt"});
}

TEST(TempFileTest, ACallerThatGivesUpBeforeKeepLeavesNoTemporary) {
    TempDir dir;
    WriteBytes(dir / "guids.txt", "old");
    try {
        TempFile file(dir / "guids.txt");
        file.Write("half");
        throw std::runtime_error("the caller's own failure");
    } catch (const std::runtime_error&) {
    }
    EXPECT_EQ(ReadBytes(dir / "guids.txt"), "old");
    EXPECT_EQ(Names(dir.path()), std::vector<std::string>{"guids.txt"});
}

// A file kept open goes on being written under its name (a run's mark, locked while its run
// works): the temporary file's end removes nothing and closes nothing.
TEST(TempFileTest, AFileKeptOpenGoesOnBeingWrittenUnderItsName) {
    TempDir dir;
    WriteBytes(dir / "skip.txt.run", "an older run's mark");
    FileDescriptor fd;
    {
        TempFile file(dir / "skip.txt.run");
        file.Write("head\n");
        fd = file.KeepOpen();
    }
    ASSERT_TRUE(fd.IsOpen());
    EXPECT_EQ(WriteAll(fd.Get(), "trade\n"), 0);
    EXPECT_EQ(ReadBytes(dir / "skip.txt.run"), "head\ntrade\n");
    EXPECT_EQ(Names(dir.path()), std::vector<std::string>{"skip.txt.run"});
}

// The temporary name is not to be guessed from the process or the call, and nobody else may
// read a content that is half written.
TEST(TempFileTest, TheTemporaryNameIsRandomBesideTheFileAndOnlyItsOwnerMayReadIt) {
    TempDir dir;
    const mode_t mask = ::umask(002);
    TempFile first(dir / "settings.ini");
    TempFile second(dir / "settings.ini");
    ::umask(mask);
    for (const TempFile* file : {&first, &second}) {
        EXPECT_EQ(file->Path().parent_path(), dir.path());
        const std::string name = file->Path().filename().string();
        EXPECT_TRUE(name.starts_with(".settings.ini.")) << name;
        EXPECT_EQ(name.find(std::to_string(::getpid())), std::string::npos) << name;
        EXPECT_EQ(ModeOf(file->Path()) & 077, 0u) << name;
    }
    EXPECT_NE(first.Path(), second.Path());
    // Under the umask a plain create would give 0664.
    second.Write("x");
    second.Keep();
    EXPECT_EQ(ModeOf(dir / "settings.ini"), 0664u);
}

// Someone who may write into the folder swaps the temporary name for a link while the file is
// written. A library that opens the file by name is handed the descriptor's name and still
// writes into the file created; the rename, which goes by name, refuses.
TEST(TempFileTest, ATemporaryNameTakenOverIsNeitherWrittenThroughNorRenamed) {
    TempDir dir;
    WriteBytes(dir / "victim.txt", "victim");
    WriteBytes(dir / "out.xlsx", "old");
    TempFile file(dir / "out.xlsx");
    const fs::path byDescriptor = file.DescriptorPath();
    fs::remove(file.Path());
    fs::create_symlink(dir / "victim.txt", file.Path());

    FILE* library = std::fopen(byDescriptor.c_str(), "wb");
    ASSERT_NE(library, nullptr) << std::strerror(errno);
    std::fputs("workbook", library);
    ASSERT_EQ(std::fclose(library), 0);
    struct stat st {};
    ASSERT_EQ(::fstat(file.Descriptor(), &st), 0);
    EXPECT_EQ(st.st_size, 8);

    try {
        file.Keep();
        ADD_FAILURE() << "kept";
    } catch (const PlatformError& e) {
        EXPECT_TRUE(std::string(e.what()).starts_with("Cannot write to file \"" +
                                                      (dir / "out.xlsx").string() + "\". "))
            << e.what();
    }
    EXPECT_EQ(ReadBytes(dir / "victim.txt"), "victim");
    EXPECT_EQ(ReadBytes(dir / "out.xlsx"), "old");
    EXPECT_TRUE(S_ISREG(LinkStat(dir / "out.xlsx").st_mode));
}

// The owner of a replaced file, where the process may set it: root keeps another user's file
// that user's; another user who may write into the folder but not change owners makes the file
// its own, with the mode the old one had.
TEST(TempFileTest, AReplacedFileKeepsItsOwnerWhereTheProcessMaySetIt) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "giving a file to another user needs root";
    TempDir dir;
    ASSERT_EQ(::chmod(dir.path().c_str(), 0777), 0);
    const fs::path target = dir / "settings.ini";
    WriteBytes(target, "old");
    ASSERT_EQ(::chown(target.c_str(), kOtherUid, kOtherGid), 0);
    ASSERT_EQ(::chmod(target.c_str(), 0640), 0);

    WriteFileBytes(target, "by root");
    struct stat st = LinkStat(target);
    EXPECT_EQ(st.st_uid, kOtherUid);
    EXPECT_EQ(st.st_gid, kOtherGid);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(ReadBytes(target), "by root");

    ASSERT_EQ(::chown(target.c_str(), 0, 0), 0);
    ASSERT_EQ(::chmod(target.c_str(), 0644), 0);
    const ChildOutcome other = RunChild([&] {
        if (::setgroups(0, nullptr) != 0 || ::setgid(kOtherGid) != 0 || ::setuid(kOtherUid) != 0)
            return 125;
        try {
            WriteFileBytes(target, "by nobody");
            return 0;
        } catch (const PlatformError& e) {
            std::printf("%s", e.what());
            return 1;
        }
    });
    if (other.exitCode == 125)
        GTEST_SKIP() << "cannot become uid " << kOtherUid;
    ASSERT_EQ(other.exitCode, 0) << other.output;
    st = LinkStat(target);
    EXPECT_EQ(st.st_uid, kOtherUid);
    EXPECT_EQ(st.st_gid, kOtherGid);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    EXPECT_EQ(ReadBytes(target), "by nobody");
}

}  // namespace
}  // namespace korvalot::util
