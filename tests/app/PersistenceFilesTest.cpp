#include <gtest/gtest.h>
#include <QFile>
#include <QTemporaryDir>

#include "app/AppError.h"
#include "app/IniFile.h"
#include "app/ListFile.h"

namespace korvalot::app {
namespace {

class FilesTest : public ::testing::Test {
protected:
    QString Path(const char* name) const { return dir.filePath(QString::fromLatin1(name)); }
    void Write(const char* name, const QByteArray& bytes) {
        QFile file(Path(name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
    }
    QByteArray Read(const char* name) {
        QFile file(Path(name));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
    }
    QTemporaryDir dir;
};

struct IniEdit {
    const char* name;
    QByteArray before;  // empty: no file
    const char* key;
    QByteArray after;
};

class IniWriteTest : public FilesTest, public ::testing::WithParamInterface<IniEdit> {};

TEST_P(IniWriteTest, ChangesOnlyItsOwnLine) {
    const IniEdit& c = GetParam();
    if (!c.before.isEmpty()) {
        Write("settings.ini", c.before);
    }
    WriteIniValue(Path("settings.ini"), QStringLiteral("General"), QString::fromLatin1(c.key),
                  QStringLiteral("25.06.2026"));
    EXPECT_EQ(Read("settings.ini"), c.after);
}

INSTANTIATE_TEST_SUITE_P(
    Files, IniWriteTest,
    ::testing::Values(
        IniEdit{"NoFile", {}, "FromDate", "[General]\r\nFromDate=25.06.2026\r\n"},
        IniEdit{"ReplacedInPlaceWithLfEnds", "# c\n[GENERAL]\n  fromDATE = 1 \nX=1\n", "FromDate",
                "# c\n[GENERAL]\nFromDate=25.06.2026\nX=1\n"},
        IniEdit{"AddedAtTheEndOfItsSection", "[General]\r\nA=1\r\n\r\n[Next]\r\nToDate=other\r\n",
                "ToDate",
                "[General]\r\nA=1\r\nToDate=25.06.2026\r\n\r\n[Next]\r\nToDate=other\r\n"},
        IniEdit{"SectionAddedAfterALastLineWithoutEnd", "[Other]\r\nK=v", "FromDate",
                "[Other]\r\nK=v\r\n[General]\r\nFromDate=25.06.2026\r\n"},
        IniEdit{"CommentedKeyIsNotTheKey", "[General]\r\n;FromDate=old\r\n", "FromDate",
                "[General]\r\n;FromDate=old\r\nFromDate=25.06.2026\r\n"},
        IniEdit{"ByteOrderMarkKept", "\xEF\xBB\xBF[General]\r\nFromDate=x\r\n", "FromDate",
                "\xEF\xBB\xBF[General]\r\nFromDate=25.06.2026\r\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FilesTest, IniValuesReadWithoutBlanksOrQuotesAndFallBackWhenMissing) {
    Write("settings.ini",
          "[Other]\nFromDate=no\n[ general ]\nFromDate = \"01.02.2026\" \n"
          "ToDate=\n");
    const QString fallback = QStringLiteral("fallback");
    EXPECT_EQ(ReadIniValue(Path("settings.ini"), QStringLiteral("General"),
                           QStringLiteral("fromdate"), fallback),
              QStringLiteral("01.02.2026"));
    EXPECT_EQ(ReadIniValue(Path("settings.ini"), QStringLiteral("General"),
                           QStringLiteral("ToDate"), fallback),
              QString());
    EXPECT_EQ(ReadIniValue(Path("settings.ini"), QStringLiteral("General"),
                           QStringLiteral("Missing"), fallback),
              fallback);
    EXPECT_EQ(ReadIniValue(Path("absent.ini"), QStringLiteral("General"),
                           QStringLiteral("FromDate"), fallback),
              fallback);
}

TEST_F(FilesTest, IniWriteIntoAnUnwritableDirectoryRaises) {
    EXPECT_THROW(WriteIniValue(Path("no/such/settings.ini"), QStringLiteral("General"),
                               QStringLiteral("FromDate"), QStringLiteral("x")),
                 AppError);
}

struct ListCase {
    const char* name;
    QByteArray bytes;
    QStringList lines;
};

class ListReadTest : public FilesTest, public ::testing::WithParamInterface<ListCase> {};

TEST_P(ListReadTest, DetectsTheEncodingAndEveryLineEnd) {
    Write("list.txt", GetParam().bytes);
    EXPECT_EQ(ReadListFile(Path("list.txt")), GetParam().lines);
}

INSTANTIATE_TEST_SUITE_P(
    Files, ListReadTest,
    ::testing::Values(
        ListCase{"Empty", "", {}},
        ListCase{"Utf8MixedEnds", "Москва (77)\r\nб\rв\nг", {"Москва (77)", "б", "в", "г"}},
        ListCase{"Utf8BomAndBlankLines",
                 "\xEF\xBB\xBF"
                 "a\r\n\r\n b \r\n",
                 {"a", "", " b "}},
        ListCase{"Utf16LittleEndian",
                 QByteArray("\xFF\xFE\x1F\x04\x0D\x00\x0A\x00x\x00", 10),
                 {QStringLiteral("П"), "x"}},
        ListCase{"Utf16BigEndian",
                 QByteArray("\xFE\xFF\x04\x1F\x00\x0A\x00x", 8),
                 {QStringLiteral("П"), "x"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FilesTest, ListsAreWrittenAsUtf8WithCrLfAfterEveryLine) {
    WriteListFile(Path("out.txt"), {QStringLiteral("Открытый аукцион"), QString(), "x "});
    EXPECT_EQ(Read("out.txt"), QStringLiteral("Открытый аукцион\r\n\r\nx \r\n").toUtf8());
    WriteListFile(Path("out.txt"), {});
    EXPECT_EQ(Read("out.txt"), QByteArray());
    EXPECT_THROW(ReadListFile(Path("absent.txt")), AppError);
    EXPECT_THROW(WriteListFile(Path("no/dir/out.txt"), {"x"}), AppError);
}

}  // namespace
}  // namespace korvalot::app
