#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "crawl/fakes/TempDir.h"
#include "util/Platform.h"

namespace korvalot::util {
namespace {

using crawl::testing_support::ReadBytes;
using crawl::testing_support::TempDir;
using crawl::testing_support::WriteBytes;

TEST(ListFile, WrittenAsUtf8WithoutBomEveryLineEndedByCrLf) {
    TempDir dir;
    WriteListFile(dir / "list.txt", {"Москва (77)", "", "b"});
    EXPECT_EQ(ReadBytes(dir / "list.txt"), "Москва (77)\r\n\r\nb\r\n");
    WriteListFile(dir / "list.txt", {});
    EXPECT_EQ(ReadBytes(dir / "list.txt"), "");
}

TEST(ListFile, WriteToAnUnwritablePlaceRaises) {
    TempDir dir;
    EXPECT_THROW(WriteListFile(dir / "no" / "list.txt", {"a"}), PlatformError);
}

std::vector<std::string> Names(const std::filesystem::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

TEST(WriteFileBytes, ReplacesTheFileKeepingItsModeAndLeavesNothingElse) {
    TempDir dir;
    WriteBytes(dir / "settings.ini", "old contents, longer than the new\r\n");
    ::chmod((dir / "settings.ini").c_str(), 0640);
    WriteFileBytes(dir / "settings.ini", "new\r\n");
    EXPECT_EQ(ReadBytes(dir / "settings.ini"), "new\r\n");
    struct stat st {};
    ASSERT_EQ(::stat((dir / "settings.ini").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(Names(dir.path()), std::vector<std::string>{"settings.ini"});
}

TEST(WriteFileBytes, ANewFileGetsTheModeOfAPlainCreate) {
    TempDir dir;
    const mode_t mask = ::umask(022);
    WriteFileBytes(dir / "selection1.txt", "x\r\n");
    ::umask(mask);
    struct stat st {};
    ASSERT_EQ(::stat((dir / "selection1.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
}

TEST(WriteFileBytes, AFailedReplaceNamesTheFileAndLeavesNoTemporaryBehind) {
    TempDir dir;
    // A folder in the file's place cannot be replaced by a file, whoever runs the test.
    std::filesystem::create_directories(dir / "log-1.txt" / "inside");
    try {
        WriteFileBytes(dir / "log-1.txt", "line\r\n");
        ADD_FAILURE() << "no error";
    } catch (const PlatformError& error) {
        EXPECT_EQ(std::string(error.what())
                      .rfind("Cannot write to file \"" + (dir / "log-1.txt").string() + "\". ", 0),
                  0u)
            << error.what();
    }
    EXPECT_EQ(Names(dir.path()), std::vector<std::string>{"log-1.txt"});
    EXPECT_TRUE(std::filesystem::is_directory(dir / "log-1.txt" / "inside"));
}

struct ReadCase {
    const char* what;
    std::string bytes;
    std::vector<std::string> lines;
};

void PrintTo(const ReadCase& c, std::ostream* os) {
    *os << c.what;
}

class ListFileReadTest : public testing::TestWithParam<ReadCase> {};

TEST_P(ListFileReadTest, EncodingByByteOrderMarkAndAnyLineEnd) {
    TempDir dir;
    WriteBytes(dir / "list.txt", GetParam().bytes);
    EXPECT_EQ(ReadListFile(dir / "list.txt"), GetParam().lines) << GetParam().what;
}

INSTANTIATE_TEST_SUITE_P(
    Files, ListFileReadTest,
    testing::Values(
        ReadCase{"plain UTF-8, mixed line ends", "a\r\nb\nc\rd", {"a", "b", "c", "d"}},
        ReadCase{"final line end adds no line", "a\r\n", {"a"}},
        ReadCase{"empty lines stay, blanks are kept", "a\r\n\r\n b \r\n", {"a", "", " b "}},
        ReadCase{"UTF-8 with its mark", "\xEF\xBB\xBFЯ\r\n", {"Я"}},
        ReadCase{"UTF-16 LE", std::string("\xFF\xFE\x2F\x04\x0D\x00\x0A\x00x\x00", 10), {"Я", "x"}},
        ReadCase{"UTF-16 BE", std::string("\xFE\xFF\x04\x2F\x00\x0A\x00x", 8), {"Я", "x"}},
        ReadCase{"UTF-16 LE surrogate pair and a lone one",
                 std::string("\xFF\xFE\x3D\xD8\x00\xDE\x00\xD8", 8),
                 {"\xF0\x9F\x98\x80\xEF\xBF\xBD"}},
        ReadCase{"invalid UTF-8 becomes U+FFFD", "\xC0x", {"\xEF\xBF\xBDx"}},
        ReadCase{"empty file", "", {}}));

TEST(ListFile, AFileThatCannotBeReadRaises) {
    TempDir dir;
    EXPECT_THROW(ReadListFile(dir / "missing.txt"), PlatformError);
    std::filesystem::create_directory(dir / "skip.txt");
    EXPECT_THROW(ReadListFile(dir / "skip.txt"), PlatformError);
}

TEST(TickCount, MillisecondsSinceBootWrittenAsSigned32Bit) {
    timespec ts{};
    clock_gettime(CLOCK_BOOTTIME, &ts);
    const auto before = static_cast<std::uint32_t>(ts.tv_sec * 1000ull + ts.tv_nsec / 1000000);
    const auto tick = static_cast<std::uint32_t>(TickCount());
    clock_gettime(CLOCK_BOOTTIME, &ts);
    const auto after = static_cast<std::uint32_t>(ts.tv_sec * 1000ull + ts.tv_nsec / 1000000);
    EXPECT_LE(tick - before, after - before);  // unsigned: holds across a wrap too
}

TEST(NamedMutex, OpensAgainWhileHeldAndAfterRelease) {
    const std::string name = "Global\\KorvalotTest" + std::to_string(::getpid());
    {
        NamedMutex first(name);
        NamedMutex second(name);  // another run never waits for it
    }
    NamedMutex again(name);
    const std::string file = "/dev/shm/sem." + NamedMutex::SystemName(name).substr(1);
    EXPECT_TRUE(std::filesystem::exists(file));
    std::filesystem::remove(file);
}

TEST(NamedMutex, AnImpossibleNameRaises) {
    EXPECT_THROW(NamedMutex(std::string(300, 'x')), PlatformError);
}

TEST(OpenWithDesktop, StartsXdgOpenWithTheDocumentWithoutWaiting) {
    TempDir dir;
    const auto marker = dir / "opened.txt";
    const auto script = dir / "xdg-open";
    const auto go = dir / "go";
    // The launcher finishes only after OpenWithDesktop has returned; had it been awaited, it
    // would give up waiting and say so.
    WriteBytes(script, "#!/bin/sh\nfor i in $(seq 200); do [ -e '" + go.string() +
                           "' ] && { printf '%s' \"$1\" > '" + marker.string() +
                           "'; exit 0; }; sleep 0.05; done\necho awaited > '" + marker.string() +
                           "'\n");
    ::chmod(script.c_str(), 0755);
    const std::string oldPath = std::getenv("PATH") ? std::getenv("PATH") : "";
    ::setenv("PATH", (dir.path().string() + ":" + oldPath).c_str(), 1);
    const auto document = dir / "data 1 'quoted'.csv";
    OpenWithDesktop(document);
    ::setenv("PATH", oldPath.c_str(), 1);
    WriteBytes(go, "");
    for (int i = 0; i < 400 && ReadBytes(marker).empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    // The name reaches the program as one argument, untouched by any shell.
    EXPECT_EQ(ReadBytes(marker), document.string());
}

TEST(OpenWithDesktop, AMissingLauncherIsIgnored) {
    const std::string oldPath = std::getenv("PATH") ? std::getenv("PATH") : "";
    ::setenv("PATH", "/nonexistent-korvalot", 1);
    EXPECT_NO_THROW(OpenWithDesktop("/tmp/x.csv"));
    ::setenv("PATH", oldPath.c_str(), 1);
}

TEST(ExecutableDirectory, HoldsTheRunningTest) {
    const auto dir = ExecutableDirectory();
    EXPECT_TRUE(std::filesystem::exists(dir / "korvalot_util_tests"));
}

}  // namespace
}  // namespace korvalot::util
