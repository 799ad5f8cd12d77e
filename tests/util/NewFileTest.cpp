#include "util/NewFile.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "crawl/fakes/TempDir.h"
#include "util/Platform.h"

namespace korvalot::util {
namespace {

using crawl::testing_support::ReadBytes;
using crawl::testing_support::TempDir;
using crawl::testing_support::WriteBytes;

TEST(NewFileTest, ANumberGoesBeforeTheExtension) {
    const struct {
        std::string name;
        int n;
        std::string numbered;
    } cases[] = {
        {"data5.csv", 1, "data5.csv"},
        {"data5.csv", 2, "data5-2.csv"},
        {"data-2026-12-10_063000.xlsx", 3, "data-2026-12-10_063000-3.xlsx"},
        {"data-5.csv", 2, "data-5-2.csv"},  // a negative tick count keeps its minus sign
        {"log", 2, "log-2"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(NumberedName(std::filesystem::path("dir") / c.name, c.n),
                  std::filesystem::path("dir") / c.numbered);
    }
}

TEST(NewFileTest, AnExistingFileIsNeverReplaced) {
    TempDir dir;
    WriteBytes(dir / "log-7.txt", "first");
    WriteBytes(dir / "log-7-2.txt", "second");
    std::filesystem::path path = dir / "log-7.txt";
    EXPECT_EQ(FreeName(path), dir / "log-7-3.txt");
    const int fd = CreateNewFile(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, "third", 5), 5);
    ::close(fd);
    EXPECT_EQ(path, dir / "log-7-3.txt");
    EXPECT_EQ(ReadBytes(dir / "log-7.txt"), "first");
    EXPECT_EQ(ReadBytes(dir / "log-7-2.txt"), "second");
    EXPECT_EQ(ReadBytes(dir / "log-7-3.txt"), "third");

    // A reserved name is the caller's to fill; the next reservation passes it by.
    const std::filesystem::path reserved = ReserveNewFile(dir / "log-7.txt");
    EXPECT_EQ(reserved, dir / "log-7-4.txt");
    EXPECT_EQ(ReserveNewFile(dir / "log-7.txt"), dir / "log-7-5.txt");
    WriteListFile(reserved, std::vector<std::string>{"a"});
    EXPECT_EQ(ReadBytes(reserved), "a\r\n");
    EXPECT_EQ(ReadBytes(dir / "log-7.txt"), "first");
}

TEST(NewFileTest, AClashOfOneFileMovesEveryFileOfTheStem) {
    TempDir dir;
    const std::vector<StemForm> forms = {{"data-", ".csv"}, {"data-", ".xlsx"}, {"log-", ".txt"}};
    EXPECT_EQ(FreeStem(dir.path(), "2026-12-10_063000", forms), "2026-12-10_063000");
    WriteBytes(dir / "log-2026-12-10_063000.txt", "x");
    EXPECT_EQ(FreeStem(dir.path(), "2026-12-10_063000", forms), "2026-12-10_063000-2");
    WriteBytes(dir / "data-2026-12-10_063000-2.xlsx", "x");
    EXPECT_EQ(FreeStem(dir.path(), "2026-12-10_063000", forms), "2026-12-10_063000-3");
    // A name that is a dangling link is taken as well.
    ASSERT_EQ(::symlink("nowhere", (dir / "data-2026-12-10_063000-3.csv").c_str()), 0);
    EXPECT_EQ(FreeStem(dir.path(), "2026-12-10_063000", forms), "2026-12-10_063000-4");
}

TEST(NewFileTest, AFolderThatCannotBeWrittenNamesTheFileAndTheReason) {
    TempDir dir;
    try {
        ReserveNewFile(dir / "missing" / "log-1.txt");
        FAIL() << "created in a missing folder";
    } catch (const PlatformError& e) {
        const std::string message = e.what();
        EXPECT_NE(message.find((dir / "missing" / "log-1.txt").string()), std::string::npos);
        EXPECT_NE(message.find("No such file or directory"), std::string::npos) << message;
    }
}

}  // namespace
}  // namespace korvalot::util
