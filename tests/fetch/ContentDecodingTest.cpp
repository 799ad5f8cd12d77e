#include "fetch/ContentDecoding.h"

#include <gtest/gtest.h>

#include "fetch/Compression.h"

namespace korvalot::fetch {
namespace {

using test::Compress;
using test::Wrapper;
using Status = DecodedBody::Status;

const std::string kText = "{\"pageData\":[\"\xD0\x9C\xD0\xBE\xD1\x81\xD0\xBA\xD0\xB2\xD0\xB0\"]}";

TEST(DecodeContent, ConcatenatedGzipMembersFormOneBody) {
    const auto decoded =
        DecodeContent("gzip", Compress("abc", Wrapper::Gzip) + Compress("def", Wrapper::Gzip));
    EXPECT_EQ(decoded.status, Status::Ok);
    EXPECT_EQ(decoded.body, "abcdef");
}

TEST(DecodeContent, AnEmptyCompressedBodyIsEmpty) {
    const auto decoded = DecodeContent("gzip", "");
    EXPECT_EQ(decoded.status, Status::Ok);
    EXPECT_EQ(decoded.body, "");
}

struct CorruptCase {
    const char* name;
    friend void PrintTo(const CorruptCase& c, std::ostream* os) { *os << c.name; }
    const char* encoding;
    std::string body;
};

class DecodeCorrupt : public ::testing::TestWithParam<CorruptCase> {};

// Garbage must not pass for the answer: it would reach the JSON reader as rows that are not there.
TEST_P(DecodeCorrupt, IsReportedNotDelivered) {
    const auto decoded = DecodeContent(GetParam().encoding, GetParam().body);
    EXPECT_EQ(decoded.status, Status::Corrupt);
    EXPECT_FALSE(decoded.error.empty());
    EXPECT_TRUE(decoded.body.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Bodies, DecodeCorrupt,
    ::testing::Values(
        CorruptCase{"PlainTextLabelledGzip", "gzip", kText},
        CorruptCase{"ZlibLabelledGzip", "gzip", Compress(kText, Wrapper::Zlib)},
        CorruptCase{
            "TruncatedGzip", "gzip",
            Compress(kText, Wrapper::Gzip).substr(0, Compress(kText, Wrapper::Gzip).size() - 6)},
        CorruptCase{
            "TruncatedZlib", "deflate",
            Compress(kText, Wrapper::Zlib).substr(0, Compress(kText, Wrapper::Zlib).size() / 2)},
        CorruptCase{"DamagedGzipChecksum", "gzip",
                    [] {
                        auto body = Compress(kText, Wrapper::Gzip);
                        body[body.size() - 5] ^= 0x55;
                        return body;
                    }()}),
    [](const auto& info) { return std::string(info.param.name); });

struct LimitCase {
    const char* name;
    friend void PrintTo(const LimitCase& c, std::ostream* os) { *os << c.name; }
    const char* encoding;
    std::size_t size;  // decoded size, against a limit of 1000
    Status expected;
};

class DecodeLimit : public ::testing::TestWithParam<LimitCase> {};

TEST_P(DecodeLimit, AllowsTheLimitAndNoByteMore) {
    const auto& c = GetParam();
    const std::string plain(c.size, 'x');
    const std::string encoded =
        std::string(c.encoding) == "gzip" ? Compress(plain, Wrapper::Gzip) : plain;
    const auto decoded = DecodeContent(c.encoding, encoded, 1000);
    EXPECT_EQ(decoded.status, c.expected);
    if (c.expected == Status::Ok) {
        EXPECT_EQ(decoded.body, plain);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, DecodeLimit,
    ::testing::Values(LimitCase{"GzipAtLimit", "gzip", 1000, Status::Ok},
                      LimitCase{"GzipOverLimit", "gzip", 1001, Status::TooLarge},
                      LimitCase{"PlainAtLimit", "", 1000, Status::Ok},
                      LimitCase{"PlainOverLimit", "br", 1001, Status::TooLarge}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace korvalot::fetch
