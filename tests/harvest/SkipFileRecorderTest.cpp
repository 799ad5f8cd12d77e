#include "crawl/SkipFileRecorder.h"

#include <gtest/gtest.h>

#include "crawl/CrawlError.h"
#include "crawl/fakes/TempDir.h"
#include "util/Platform.h"

namespace korvalot::crawl {
namespace {

using testing_support::ReadBytes;
using testing_support::TempDir;
using testing_support::WriteBytes;

std::string Utf16(std::string_view ascii, bool little) {
    std::string out;
    for (const char c : ascii) {
        out += little ? c : '\0';
        out += little ? '\0' : c;
    }
    return out;
}

// Lines appended to a file that exists keep its encoding and are read back as the run reads
// skip.txt; a last line without its end is not glued to the first new one.
TEST(SkipFileRecorderTest, AppendsInTheFilesOwnEncoding) {
    const std::string line = "https://r.example/biddings/Ab-1";
    const std::string cyrillic = "https://r.example/biddings/ёлка";
    const struct {
        const char* name;
        std::string before;
        SkipFileRecorder::Encoding encoding;
        std::vector<std::string> firstLines;
    } cases[] = {
        {"missing", "", SkipFileRecorder::Encoding::Utf8, {}},
        {"utf8 plain", "a\r\nb\r\n", SkipFileRecorder::Encoding::Utf8, {"a", "b"}},
        {"utf8 no last end", "a\nb", SkipFileRecorder::Encoding::Utf8, {"a", "b"}},
        {"utf8 bom only", "\xEF\xBB\xBF", SkipFileRecorder::Encoding::Utf8, {}},
        {"utf8 bom",
         "\xEF\xBB\xBF"
         "a\r",
         SkipFileRecorder::Encoding::Utf8,
         {"a"}},
        {"utf16le",
         "\xFF\xFE" + Utf16("a\r\nb", true),
         SkipFileRecorder::Encoding::Utf16Le,
         {"a", "b"}},
        {"utf16be", "\xFE\xFF" + Utf16("a\r\n", false), SkipFileRecorder::Encoding::Utf16Be, {"a"}},
        {"utf16le bom only", "\xFF\xFE", SkipFileRecorder::Encoding::Utf16Le, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const auto path = dir / "skip.txt";
        if (std::string(c.name) != "missing")
            WriteBytes(path, c.before);
        {
            SkipFileRecorder recorder(path);
            EXPECT_EQ(recorder.FileEncoding(), c.encoding);
            recorder.Append(line);
            recorder.Append(cyrillic);
        }
        std::vector<std::string> expected = c.firstLines;
        expected.push_back(line);
        expected.push_back(cyrillic);
        EXPECT_EQ(util::ReadListFile(path), expected);
        const std::string bytes = ReadBytes(path);
        EXPECT_EQ(bytes.substr(0, c.before.size()), c.before) << "earlier bytes kept";
    }
}

TEST(SkipFileRecorderTest, EachLineIsOnDiskWhenAppendReturns) {
    TempDir dir;
    const auto path = dir / "skip.txt";
    SkipFileRecorder recorder(path);
    recorder.Append("one");
    EXPECT_EQ(ReadBytes(path), "one\r\n");
    recorder.Append("two");
    EXPECT_EQ(ReadBytes(path), "one\r\ntwo\r\n");
}

TEST(SkipFileRecorderTest, AFolderThatTakesNoFileIsAnError) {
    TempDir dir;
    EXPECT_THROW(SkipFileRecorder(dir / "missing" / "skip.txt"), CrawlError);
}

}  // namespace
}  // namespace korvalot::crawl
