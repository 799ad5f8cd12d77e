#include "util/uLib.h"

#include <cstdint>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "support/Utf8Check.h"

namespace korvalot::util {
namespace {

using korvalot::testing::IsValidUtf8;

// ---- ExtractBetween ----

struct ExtractCase {
    const char* what;
    std::string text, start, middle, end, expected;
};

void PrintTo(const ExtractCase& c, std::ostream* os) {
    *os << c.what;
}

class ExtractBetweenTest : public ::testing::TestWithParam<ExtractCase> {};

TEST_P(ExtractBetweenTest, GivesTheTextBetweenTheMarkers) {
    const ExtractCase& c = GetParam();
    EXPECT_EQ(ExtractBetween(c.text, c.start, c.middle, c.end), c.expected) << c.what;
}

const std::string kSearch =
    "https://register.example/backend/biddings?limit=50&offset=0&tradeType=PublicOffer"
    "&regionCode=77&tradeStartDate=2023-05-01T00%3A00%3A00&tradeEndDate=2023-05-31T23%3A59%3A59";

INSTANTIATE_TEST_SUITE_P(
    Table, ExtractBetweenTest,
    ::testing::Values(
        ExtractCase{"region code of an item", "Москва (77)", "(", "", ")", "77"},
        ExtractCase{"region name of an item", "Москва (77)", "", "", " (", "Москва"},
        ExtractCase{"inner parentheses give the inner part as code", "Саха (Якутия) (14)", "(", "",
                    ")", "Якутия"},
        ExtractCase{"name stops at the first \" (\"", "Саха (Якутия) (14)", "", "", " (", "Саха"},
        ExtractCase{"region code of a search address", kSearch, "regionCode=", "", "&", "77"},
        ExtractCase{"start date of a search address", kSearch, "tradeStartDate=", "", "T",
                    "2023-05-01"},
        ExtractCase{"empty end marker runs to the end", "a&lotStartPrice=100&lotFinishPrice=200",
                    "&lotStartPrice=", "", "", "100&lotFinishPrice=200"},
        ExtractCase{"both markers empty give the whole text", "abc", "", "", "", "abc"},
        ExtractCase{"missing start marker", "abc", "x", "", "", ""},
        ExtractCase{"missing end marker", "abc(12", "(", "", ")", ""},
        ExtractCase{"missing middle marker", "a=1;", "a", "b", ";", ""},
        ExtractCase{"middle marker searched after the start marker", "b=0 a=1 b=2;", "a", "b", ";",
                    "=2"},
        ExtractCase{"end searched after the middle marker", "s;m=5;", "s", "m", ";", "=5"},
        ExtractCase{"end searched after the whole start marker", "abcab", "ab", "", "ab", "c"},
        ExtractCase{"end marker right behind the start marker", "xx", "x", "", "x", ""},
        ExtractCase{"end marker only before the start marker", "]a[b", "[", "", "]", ""},
        ExtractCase{"first occurrences only", "[a][b]", "[", "", "]", "a"},
        ExtractCase{"letter case respected", "RegionCode=1&regionCode=2&", "regionCode=", "", "&",
                    "2"},
        ExtractCase{"no match in another letter case", "ABC", "b", "", "", ""},
        ExtractCase{"multi-byte markers", "цена: 100 руб.", "цена: ", "", " руб", "100"},
        ExtractCase{"time text cut before the first T", "2023-05-10T14:30:00", "", "", "T",
                    "2023-05-10"}));

// ---- RemoveUrlParam ----

struct RemoveCase {
    const char* what;
    std::string address, name, expected;
};

void PrintTo(const RemoveCase& c, std::ostream* os) {
    *os << c.what;
}

class RemoveUrlParamTest : public ::testing::TestWithParam<RemoveCase> {};

TEST_P(RemoveUrlParamTest, RemovesTheFirstMatchingParameter) {
    const RemoveCase& c = GetParam();
    EXPECT_EQ(RemoveUrlParam(c.address, c.name), c.expected) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Table, RemoveUrlParamTest,
    ::testing::Values(
        RemoveCase{"absent parameter leaves the address unchanged", "x?a=1&b=2", "c", "x?a=1&b=2"},
        RemoveCase{"parameter behind ? takes the ? with it", "x?a=1&b=2", "a", "x&b=2"},
        RemoveCase{"middle parameter", "x?a=1&b=2&c=3", "b", "x?a=1&c=3"},
        RemoveCase{"last parameter", "x?a=1&b=2", "b", "x?a=1"},
        RemoveCase{"first occurrence only", "x?a=1&b=2&b=3", "b", "x?a=1&b=3"},
        RemoveCase{"letter case respected", "x?a=1&B=2", "b", "x?a=1&B=2"},
        RemoveCase{"longer name ending in the name is kept", "x?a=1&ab=2&b=3", "b", "x?a=1&ab=2"},
        RemoveCase{"?name= wins over an earlier &name=", "u&b=1?b=2&c=3", "b", "u&b=1&c=3"},
        RemoveCase{"empty value", "x?a=&b=2", "a", "x&b=2"},
        RemoveCase{"name without = is not a match", "x?a&b=2", "a", "x?a&b=2"},
        RemoveCase{"offset of a first page",
                   "h/backend/biddings?limit=50&offset=0&tradeType=T&regionCode=77", "offset",
                   "h/backend/biddings?limit=50&tradeType=T&regionCode=77"},
        RemoveCase{"dates of a search address",
                   "h?limit=50&tradeStartDate=2023-05-01T00%3A00%3A00&regionCode=7",
                   "tradeStartDate", "h?limit=50&regionCode=7"}));

// ---- EscapeCsvQuotes ----

struct EscapeCase {
    std::string value, expected;
};

void PrintTo(const EscapeCase& c, std::ostream* os) {
    *os << ::testing::PrintToString(c.value);
}

class EscapeCsvQuotesTest : public ::testing::TestWithParam<EscapeCase> {};

TEST_P(EscapeCsvQuotesTest, ReplacesOnlyDoubleQuotes) {
    EXPECT_EQ(EscapeCsvQuotes(GetParam().value), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, EscapeCsvQuotesTest,
    ::testing::Values(EscapeCase{"", ""}, EscapeCase{"ООО \"Ромашка\"", "ООО 'Ромашка'"},
                      EscapeCase{"\"\"", "''"}, EscapeCase{"it's", "it's"},
                      EscapeCase{"a;b\r\nc\td", "a;b\r\nc\td"},
                      EscapeCase{std::string("a\0\"b", 4), std::string("a\0'b", 4)}));

// ---- StreamToString ----

const std::string R = "\xEF\xBF\xBD";  // U+FFFD

struct DecodeCase {
    const char* what;
    std::string bytes, expected;
};

void PrintTo(const DecodeCase& c, std::ostream* os) {
    *os << c.what;
}

class StreamToStringTest : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(StreamToStringTest, ReplacesEachMaximalInvalidSubpart) {
    const DecodeCase& c = GetParam();
    EXPECT_EQ(StreamToString(c.bytes), c.expected) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Table, StreamToStringTest,
    ::testing::Values(
        DecodeCase{"empty", "", ""},
        DecodeCase{"valid characters of every length", "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80",
                   "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
        DecodeCase{"byte-order mark kept before an object", "\xEF\xBB\xBF{}", "\xEF\xBB\xBF{}"},
        DecodeCase{"NUL bytes kept", std::string("a\0b\0", 4), std::string("a\0b\0", 4)},
        DecodeCase{"lone lead byte", "\xC3", R},
        DecodeCase{"lead byte before a valid character", "\xC3\xC3\xA9", R + "\xC3\xA9"},
        DecodeCase{"lone continuation bytes", "\x80\xBF", R + R},
        DecodeCase{"overlong two-byte form", "\xC0\x80", R + R},
        DecodeCase{"overlong two-byte form with C1", "\xC1\xBF", R + R},
        DecodeCase{"overlong three-byte form", "\xE0\x80\x80", R + R + R},
        DecodeCase{"smallest three-byte form", "\xE0\xA0\x80", "\xE0\xA0\x80"},
        DecodeCase{"surrogate", "\xED\xA0\x80", R + R + R},
        DecodeCase{"last character before the surrogates", "\xED\x9F\xBF", "\xED\x9F\xBF"},
        DecodeCase{"truncated three-byte sequence at the end", "a\xE2\x82", "a" + R},
        DecodeCase{"truncated three-byte sequence before ASCII",
                   "\xE0\xA0"
                   "A",
                   R + "A"},
        DecodeCase{"overlong four-byte form", "\xF0\x80\x80\x80", R + R + R + R},
        DecodeCase{"truncated four-byte sequence",
                   "\xF0\x90\x80"
                   "A",
                   R + "A"},
        DecodeCase{"above U+10FFFF", "\xF4\x90\x80\x80", R + R + R + R},
        DecodeCase{"U+10FFFF", "\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF"},
        DecodeCase{"bytes that never start a sequence", "\xF5\x80\xFE\xFF", R + R + R + R},
        DecodeCase{"mixed example",
                   "a\xF1\x80\x80\xE1\x80\xC2"
                   "b\x80"
                   "c\x80\xBF"
                   "d",
                   "a" + R + R + R + "b" + R + "c" + R + R + "d"}));

// Every sequence of two bytes, and every four-byte sequence behind a four-byte lead, between
// ASCII guards: the result is valid UTF-8, a valid input comes back unchanged, and the guards
// survive.
TEST(StreamToStringSweep, AlwaysGivesValidUtf8AndKeepsValidInput) {
    std::vector<std::string> inputs;
    for (int a = 0; a < 256; ++a) {
        for (int b = 0; b < 256; ++b) {
            inputs.push_back({static_cast<char>(a), static_cast<char>(b)});
        }
    }
    for (int lead = 0xF0; lead <= 0xF7; ++lead) {
        for (int b = 0x70; b < 0xC8; ++b) {
            for (int c = 0x70; c < 0xC8; ++c) {
                inputs.push_back(
                    {static_cast<char>(lead), static_cast<char>(b), static_cast<char>(c), '\x80'});
            }
        }
    }
    int failures = 0;
    for (const std::string& input : inputs) {
        const std::string guarded = "<" + input + ">";
        const std::string out = StreamToString(guarded);
        const bool ok = IsValidUtf8(out) && out.front() == '<' && out.back() == '>' &&
                        (!IsValidUtf8(guarded) || out == guarded);
        if (!ok && ++failures <= 5)
            ADD_FAILURE() << "wrong result for " << ::testing::PrintToString(input);
    }
    EXPECT_EQ(failures, 0);
}

// ---- EncodeUtf8 ----

// The first and last code point of each length, and a Cyrillic letter as the register sends
// them.
TEST(EncodeUtf8, EachLengthAtItsBounds) {
    const std::pair<char32_t, std::string> cases[] = {
        {U'\0', std::string(1, '\0')},
        {0x7F, "\x7F"},
        {0x80, "\xC2\x80"},
        {U'Я', "Я"},
        {0x7FF, "\xDF\xBF"},
        {0x800, "\xE0\xA0\x80"},
        {0xFFFD, "\xEF\xBF\xBD"},
        {0xFFFF, "\xEF\xBF\xBF"},
        {0x10000, "\xF0\x90\x80\x80"},
        {0x10FFFF, "\xF4\x8F\xBF\xBF"},
    };
    for (const auto& [cp, bytes] : cases) {
        std::string out = "<";
        AppendUtf8(out, cp);
        EXPECT_EQ(out, "<" + bytes) << static_cast<std::uint32_t>(cp);
        EXPECT_TRUE(IsValidUtf8(out)) << static_cast<std::uint32_t>(cp);
    }
}

}  // namespace
}  // namespace korvalot::util
