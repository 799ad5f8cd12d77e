// The platform module as a second user of the same machine meets it, in real processes that
// run under another uid. Root is needed to become another user, and root itself ignores file
// permissions, so every check of a permission runs in such a process.

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <grp.h>
#include <semaphore.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "crawl/fakes/TempDir.h"
#include "support/ReachableCopy.h"
#include "util/Platform.h"

namespace korvalot::util {
namespace {

using crawl::testing_support::ReadBytes;
using crawl::testing_support::TempDir;

// "nobody" on Debian: the case without HOME reads its home ("/nonexistent") from the user
// database.
constexpr uid_t kOtherUid = 65534;
constexpr gid_t kOtherGid = 65534;

#define SKIP_UNLESS_ROOT()                                                                \
    if (::geteuid() != 0)                                                                 \
    GTEST_SKIP() << "becoming another user needs root; as an ordinary user these checks " \
                    "cannot take a second uid"

// A fresh folder that every user may enter (but only its owner write), removed at the end.
class SharedTempDir {
public:
    SharedTempDir() { ::chmod(dir_.path().c_str(), 0755); }

    std::filesystem::path operator/(const std::string& name) const { return dir_ / name; }

    // A folder inside, with this owner and mode.
    std::filesystem::path Folder(const std::string& name, uid_t owner, mode_t mode) const {
        const auto dir = dir_ / name;
        std::filesystem::create_directories(dir);
        if (::chown(dir.c_str(), owner, owner == kOtherUid ? kOtherGid : ::getegid()) != 0 ||
            ::chmod(dir.c_str(), mode) != 0)
            ADD_FAILURE() << "cannot prepare " << dir;
        return dir;
    }

private:
    TempDir dir_;
};

struct ChildOutcome {
    int exitCode = -1;
    std::string output;  // what the child wrote to its standard output
};

// Runs body in a child process, which first becomes the other user when asked to; what body
// returns is the child's exit code.
ChildOutcome RunChild(const std::function<int()>& body, bool asOtherUser = true) {
    int pipeEnds[2];
    if (::pipe(pipeEnds) != 0)
        return {};
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(pipeEnds[0]);
        ::dup2(pipeEnds[1], STDOUT_FILENO);
        if (asOtherUser &&
            (::setgroups(0, nullptr) != 0 || ::setgid(kOtherGid) != 0 || ::setuid(kOtherUid) != 0))
            ::_exit(125);
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

// Runs program with exactly these environment entries.
ChildOutcome ExecChild(const std::filesystem::path& program, std::vector<std::string> environment,
                       bool asOtherUser = true) {
    return RunChild(
        [&] {
            std::vector<char*> env;
            for (auto& entry : environment)
                env.push_back(entry.data());
            env.push_back(nullptr);
            std::string name = program.string();
            char* argv[] = {name.data(), nullptr};
            ::execve(program.c_str(), argv, env.data());
            return 126;
        },
        asOtherUser);
}

TEST(NamedMutexUsers, ASecondUserOpensTheRunObjectWhileTheFirstUserHoldsIt) {
    SKIP_UNLESS_ROOT();
    const std::string name = "Global\\KorvalotUsers" + std::to_string(::getpid());
    // The usual umask, under which an object made for everyone would still be the maker's.
    const mode_t oldMask = ::umask(022);
    std::optional<NamedMutex> first;
    try {
        first.emplace(name);
    } catch (const PlatformError& e) {
        ::umask(oldMask);
        FAIL() << e.what();
    }
    ::umask(oldMask);

    const ChildOutcome second = RunChild([&] {
        try {
            NamedMutex mutex(name);
            std::printf("%s", NamedMutex::SystemName(name).c_str());
            return 0;
        } catch (const PlatformError& e) {
            std::printf("%s", e.what());
            return 1;
        }
    });
    EXPECT_EQ(second.exitCode, 0) << second.output;
    // Each user has an object of their own, so neither can take it away from the other.
    EXPECT_NE(second.output, NamedMutex::SystemName(name));
    EXPECT_EQ(NamedMutex::SystemName(name), "/KorvalotUsers" + std::to_string(::getpid()) + ".0");
    first.reset();
    ::sem_unlink(NamedMutex::SystemName(name).c_str());
    ::sem_unlink(second.output.c_str());
}

// Another user who made the object first (any user may create names in /dev/shm) keeps this
// user out of it; the refusal names the object and the system's reason.
TEST(NamedMutexUsers, AnObjectAnotherUserMadeFirstRaisesWithTheSystemsReason) {
    SKIP_UNLESS_ROOT();
    const std::string name = "Global\\KorvalotTaken" + std::to_string(::getpid());
    const std::string othersName =
        "/KorvalotTaken" + std::to_string(::getpid()) + "." + std::to_string(kOtherUid);
    sem_t* taken = ::sem_open(othersName.c_str(), O_CREAT, 0600, 1);
    ASSERT_NE(taken, SEM_FAILED);
    const ChildOutcome refused = RunChild([&] {
        try {
            NamedMutex mutex(name);
            return 0;
        } catch (const PlatformError& e) {
            std::printf("%s", e.what());
            return 1;
        }
    });
    ::sem_close(taken);
    ::sem_unlink(othersName.c_str());
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_EQ(refused.output,
              "Cannot open the named object \"" + othersName + "\". Permission denied");
}

struct ChoiceCase {
    const char* what;
    uid_t programDirOwner;
    mode_t programDirMode;
    std::string xdgDataHome;  // "<xdg>": a folder of the test
    std::string home;         // "<home>": a folder of the test
    std::string expected;     // "<program>", "<xdg>" or "<home>" followed by the rest
};

void PrintTo(const ChoiceCase& c, std::ostream* os) {
    *os << c.what;
}

class DataDirectoryChoiceTest : public ::testing::TestWithParam<ChoiceCase> {};

TEST_P(DataDirectoryChoiceTest, ByWhetherTheUserMayWriteBesideTheProgram) {
    SKIP_UNLESS_ROOT();
    const ChoiceCase& c = GetParam();
    SharedTempDir root;
    const auto program = root.Folder("bin", c.programDirOwner, c.programDirMode);
    // The temporary folder may be closed to other users (TMPDIR in a home only root enters).
    if (const std::string why =
            korvalot::testing::WhyNotReachableBy(program.parent_path(), kOtherUid, kOtherGid);
        !why.empty())
        GTEST_SKIP() << "the other user cannot enter the test's folder: " << why;
    const auto substitute = [&](const std::string& text) {
        for (const auto& [mark, dir] :
             {std::pair<std::string, std::filesystem::path>{"<program>", program},
              {"<xdg>", root / "xdg"},
              {"<home>", root / "home"}}) {
            if (text.starts_with(mark))
                return dir.string() + text.substr(mark.size());
        }
        return text;
    };
    const ChildOutcome chosen = RunChild([&] {
        std::printf(
            "%s",
            ChooseDataDirectory(program, substitute(c.xdgDataHome), substitute(c.home)).c_str());
        return 0;
    });
    EXPECT_EQ(chosen.exitCode, 0);
    EXPECT_EQ(chosen.output, substitute(c.expected)) << c.what;
    // The choice creates nothing, neither beside the program nor in the folders it names.
    EXPECT_TRUE(std::filesystem::is_empty(program));
    EXPECT_FALSE(std::filesystem::exists(root / "xdg"));
    EXPECT_FALSE(std::filesystem::exists(root / "home"));
}

INSTANTIATE_TEST_SUITE_P(
    Folders, DataDirectoryChoiceTest,
    ::testing::Values(
        ChoiceCase{"a system folder: XDG_DATA_HOME", 0, 0755, "<xdg>", "<home>", "<xdg>/korvalot"},
        ChoiceCase{"a system folder, no XDG_DATA_HOME: under the home", 0, 0755, "", "<home>",
                   "<home>/.local/share/korvalot"},
        ChoiceCase{"a relative XDG_DATA_HOME is ignored", 0, 0755, "relative/data", "<home>",
                   "<home>/.local/share/korvalot"},
        ChoiceCase{"no HOME either: the home of the user database", 0, 0755, "", "",
                   "/nonexistent/.local/share/korvalot"},
        ChoiceCase{"writable only for its owner root", 0, 0700, "<xdg>", "<home>",
                   "<xdg>/korvalot"},
        ChoiceCase{"the user's own folder stays portable", kOtherUid, 0755, "<xdg>", "<home>",
                   "<program>"},
        ChoiceCase{"a folder everyone may write", 0, 0777, "<xdg>", "<home>", "<program>"}));

// The program's own build folder can be written: its files stay beside it, as always.
TEST(DataDirectory, APortableCopyKeepsItsFilesBesideTheExecutable) {
    const std::filesystem::path probe = KORVALOT_DATA_DIRECTORY_PROBE;
    SharedTempDir root;
    const auto dir = root.Folder("portable", ::geteuid(), 0755);
    std::filesystem::copy_file(probe, dir / "korvalot");
    const ChildOutcome run = ExecChild(dir / "korvalot", {"HOME=" + (root / "home").string()},
                                       /*asOtherUser=*/false);
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_EQ(run.output, dir.string() + "\n");
    EXPECT_EQ(ReadBytes(dir / "settings.ini"), "[General]\r\n");
}

// An installed copy in a folder the user cannot write: the files go to the user's own folder,
// which is made when it is missing, and nothing is left beside the executable.
TEST(DataDirectory, AnInstalledCopyKeepsItsFilesInTheUsersFolder) {
    SKIP_UNLESS_ROOT();
    const std::filesystem::path probe = KORVALOT_DATA_DIRECTORY_PROBE;
    SharedTempDir root;
    const auto bin = root.Folder("usr-local-bin", 0, 0755);
    std::filesystem::copy_file(probe, bin / "korvalot");
    ::chmod((bin / "korvalot").c_str(), 0755);
    // The temporary folder may be closed to other users (TMPDIR in a home only root enters).
    if (const std::string why =
            korvalot::testing::WhyNotReachableBy(bin / "korvalot", kOtherUid, kOtherGid);
        !why.empty())
        GTEST_SKIP() << "the other user cannot run the copied program: " << why;
    const auto home = root.Folder("home", kOtherUid, 0755);
    const auto xdg = root.Folder("xdg", kOtherUid, 0755);

    const ChildOutcome underHome = ExecChild(bin / "korvalot", {"HOME=" + home.string()});
    EXPECT_EQ(underHome.exitCode, 0) << underHome.output;
    const auto homeData = home / ".local" / "share" / "korvalot";
    EXPECT_EQ(underHome.output, homeData.string() + "\n");
    EXPECT_EQ(ReadBytes(homeData / "settings.ini"), "[General]\r\n");

    const ChildOutcome underXdg =
        ExecChild(bin / "korvalot", {"HOME=" + home.string(), "XDG_DATA_HOME=" + xdg.string()});
    EXPECT_EQ(underXdg.exitCode, 0) << underXdg.output;
    EXPECT_EQ(underXdg.output, (xdg / "korvalot").string() + "\n");
    EXPECT_EQ(ReadBytes(xdg / "korvalot" / "settings.ini"), "[General]\r\n");

    std::vector<std::string> besideProgram;
    for (const auto& entry : std::filesystem::directory_iterator(bin))
        besideProgram.push_back(entry.path().filename().string());
    EXPECT_EQ(besideProgram, std::vector<std::string>{"korvalot"});
}

}  // namespace
}  // namespace korvalot::util
