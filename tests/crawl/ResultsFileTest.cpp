#include <gtest/gtest.h>

#include <csignal>
#include <ostream>
#include <string>

#include <sys/resource.h>

#include "crawl/CrawlError.h"
#include "crawl/ResultsFile.h"
#include "crawl/fakes/TempDir.h"

namespace korvalot::crawl {
namespace {

using testing_support::ReadBytes;
using testing_support::TempDir;

const std::string kBom = "\xEF\xBB\xBF";

TEST(ResultsFile, AHeaderOnlyFileIsBomHeaderAndCrLf509Bytes) {
    TempDir dir;
    const auto path = dir / ResultsFile::FileName(1234);
    {
        ResultsFile file(path, "https://reg.test");
        file.Close();
    }
    const std::string bytes = ReadBytes(path);
    EXPECT_EQ(bytes.size(), 509u);
    EXPECT_EQ(bytes, kBom + std::string(ResultsFile::kHeader) + "\r\n");
    EXPECT_TRUE(bytes.starts_with(kBom + "\"Ссылка на сообщение\";\"Регион\";"));
    EXPECT_TRUE(bytes.ends_with("\"Победитель наименование\";\"Победитель ИНН\"\r\n"));
}

TEST(ResultsFile, NameCarriesTheTickCountAsASigned32BitNumber) {
    EXPECT_EQ(ResultsFile::FileName(0), "data0.csv");
    EXPECT_EQ(ResultsFile::FileName(2147483647), "data2147483647.csv");
    EXPECT_EQ(ResultsFile::FileName(-2147483647 - 1), "data-2147483648.csv");
}

struct LineCase {
    const char* what;
    ResultRow row;
    std::string line;
};

void PrintTo(const LineCase& c, std::ostream* os) {
    *os << c.what;
}

class ResultsLineTest : public testing::TestWithParam<LineCase> {};

TEST_P(ResultsLineTest, FourteenQuotedFieldsQuotesBecomeApostrophes) {
    EXPECT_EQ(ResultsFile::FormatLine("https://reg.test", GetParam().row), GetParam().line)
        << GetParam().what;
}

ResultRow Row(const std::string& guid) {
    ResultRow r;
    r.guid = guid;
    return r;
}

ResultRow Full() {
    ResultRow r;
    r.guid = "g-1";
    r.region = "Москва";
    r.number = "123";
    r.datePublish = "10.05.2023 14:30";
    r.debtorName = "ООО \"Ромашка\"";
    r.debtorInn = "7701";
    r.propertyType = "a|b";
    r.lotDescription = "line1\r\nline2; still";
    r.courtName = "АС \"города\" Москвы";
    r.startPrice = "1234,56";
    r.currentPrice = "null";
    r.resultsDate = "01.06.2023 10:00";
    r.winnerName = "ИП";
    r.winnerInn = "5001";
    return r;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ResultsLineTest,
    testing::Values(
        LineCase{"all empty", Row("abc"),
                 "\"https://reg.test/biddings/abc\";\"\";\"\";\"\";\"\";\"\";\"\";\"\";\"\";\"\";"
                 "\"\";\"\";\"\";\"\"\r\n"},
        LineCase{"every column", Full(),
                 "\"https://reg.test/biddings/g-1\";\"Москва\";\"123\";\"10.05.2023 14:30\";\"ООО "
                 "'Ромашка'\";\"7701\";\"a|b\";\"line1\r\nline2; still\";\"АС 'города' "
                 "Москвы\";\"1234,56\";\"null\";\"01.06.2023 10:00\";\"ИП\";\"5001\"\r\n"},
        // The card address is written as it is, never escaped.
        LineCase{"quote in the guid", Row("a\"b"),
                 "\"https://reg.test/biddings/a\"b\";\"\";\"\";\"\";\"\";\"\";\"\";\"\";\"\";\"\";"
                 "\"\";\"\";\"\";\"\"\r\n"}));

TEST(ResultsFile, RowsFollowTheHeaderInTheOrderWritten) {
    TempDir dir;
    const auto path = dir / "data1.csv";
    ResultsFile file(path, "https://reg.test");
    file.WriteRow(Row("one"));
    // Each row is on disk before the next call: a reader sees it without a close.
    EXPECT_EQ(ReadBytes(path).size(),
              509u + ResultsFile::FormatLine("https://reg.test", Row("one")).size());
    file.WriteRow(Row("two"));
    file.Close();
    const std::string bytes = ReadBytes(path);
    EXPECT_EQ(bytes, kBom + std::string(ResultsFile::kHeader) + "\r\n" +
                         ResultsFile::FormatLine("https://reg.test", Row("one")) +
                         ResultsFile::FormatLine("https://reg.test", Row("two")));
}

// A tick count repeats after a reboot: the earlier harvest stays, the new one takes the next
// free name.
TEST(ResultsFile, NeverReplacesAFileOfTheSameName) {
    TempDir dir;
    const auto path = dir / "data7.csv";
    testing_support::WriteBytes(path, std::string(5000, 'x'));
    testing_support::WriteBytes(dir / "data7-2.csv", "y");
    ResultsFile file(path, "https://reg.test");
    file.Close();
    EXPECT_EQ(file.Path(), dir / "data7-3.csv");
    EXPECT_EQ(ReadBytes(path), std::string(5000, 'x'));
    EXPECT_EQ(ReadBytes(dir / "data7-2.csv"), "y");
    EXPECT_EQ(ReadBytes(dir / "data7-3.csv").size(), 509u);
}

TEST(ResultsFile, CreationFailureNamesTheFileAndTheReason) {
    TempDir dir;
    const auto path = dir / "missing" / "data1.csv";
    try {
        ResultsFile file(path, "https://reg.test");
        FAIL() << "created in a missing directory";
    } catch (const ResultsFileError& e) {
        const std::string message = e.what();
        EXPECT_NE(message.find(path.string()), std::string::npos) << message;
        EXPECT_NE(message.find("No such file or directory"), std::string::npos) << message;
    }
}

// A file size limit makes the system refuse a write part way, as a full disk would.
TEST(ResultsFile, AFailedWriteRaisesAndKeepsTheWholeRowsBeforeIt) {
    TempDir dir;
    const auto path = dir / "data2.csv";
    const std::string line = ResultsFile::FormatLine("https://reg.test", Row("g"));
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    rlimit limited = old;
    limited.rlim_cur = 509 + 2 * line.size() + line.size() / 2;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    std::string failure;
    {
        ResultsFile file(path, "https://reg.test");
        file.WriteRow(Row("g"));
        file.WriteRow(Row("g"));
        try {
            file.WriteRow(Row("g"));
        } catch (const ResultsFileError& e) {
            failure = e.what();
        }
    }
    setrlimit(RLIMIT_FSIZE, &old);
    EXPECT_NE(failure.find("Cannot write to file \"" + path.string() + "\""), std::string::npos)
        << failure;
    EXPECT_EQ(ReadBytes(path), kBom + std::string(ResultsFile::kHeader) + "\r\n" + line + line);
}

}  // namespace
}  // namespace korvalot::crawl
