#include "json/JsonValue.h"

#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <ostream>
#include <string>

#include <gtest/gtest.h>

namespace korvalot::json {
namespace {

const std::string R = "\xEF\xBF\xBD";  // U+FFFD

// ---- Numbers ----

struct NumberCase {
    std::string input;
    JsonKind kind;
    std::string text;
};

void PrintTo(const NumberCase& c, std::ostream* os) {
    *os << c.input.substr(0, 40);
}

class NumberTest : public ::testing::TestWithParam<NumberCase> {};

// Each number both on its own and as a member value, where it is read through the member text.
TEST_P(NumberTest, KindAndText) {
    const NumberCase& c = GetParam();
    const JsonValue value = Parse(c.input);
    ASSERT_FALSE(value.IsNothing()) << c.input;
    EXPECT_EQ(value.Kind(), c.kind) << c.input;
    EXPECT_EQ(value.Text(), c.text) << c.input;

    const JsonValue object = Parse("{\"n\":" + c.input + "}");
    ASSERT_FALSE(object.IsNothing()) << c.input;
    EXPECT_EQ(object.Member("n").Kind(), c.kind) << c.input;
    EXPECT_EQ(object.MemberText("n"), c.text) << c.input;
}

INSTANTIATE_TEST_SUITE_P(
    Table, NumberTest,
    ::testing::Values(
        // The register's examples.
        NumberCase{"42", JsonKind::Integer, "42"}, NumberCase{"-7", JsonKind::Integer, "-7"},
        NumberCase{"1.5", JsonKind::Decimal, "1.5"}, NumberCase{"1.50", JsonKind::Decimal, "1.5"},
        NumberCase{"1500000.00", JsonKind::Decimal, "1500000."},
        NumberCase{"0.25", JsonKind::Decimal, "0.25"},
        NumberCase{"-0.0001", JsonKind::Decimal, "-0.0001"},
        NumberCase{"0.0", JsonKind::Decimal, "0"},
        NumberCase{"12.3456", JsonKind::Decimal, "12.3456"},
        NumberCase{"12.34567", JsonKind::Floating, "12.34567"},
        // Integers and decimals at their edges.
        NumberCase{"0", JsonKind::Integer, "0"}, NumberCase{"-0", JsonKind::Integer, "0"},
        NumberCase{"007", JsonKind::Integer, "7"}, NumberCase{"1.", JsonKind::Decimal, "1."},
        NumberCase{"-.5", JsonKind::Decimal, "-0.5"},
        NumberCase{"10.1000", JsonKind::Decimal, "10.1"},
        NumberCase{"9223372036854775807", JsonKind::Integer, "9223372036854775807"},
        NumberCase{"-9223372036854775808", JsonKind::Integer, "-9223372036854775808"},
        NumberCase{"922337203685477.5807", JsonKind::Decimal, "922337203685477.5807"},
        NumberCase{"-922337203685477.5808", JsonKind::Decimal, "-922337203685477.5808"},
        // Beyond 64 bits a number is kept as a floating value.
        NumberCase{"9223372036854775808", JsonKind::Floating, "9.22337203685478e+18"},
        NumberCase{"-9223372036854775809", JsonKind::Floating, "-9.22337203685478e+18"},
        NumberCase{"922337203685477.5808", JsonKind::Floating, "922337203685478"},
        NumberCase{"123456789012345678901234567890", JsonKind::Floating, "1.23456789012346e+29"},
        // Floating values: fifteen significant digits, positional or scientific.
        NumberCase{"1e3", JsonKind::Floating, "1000"},
        NumberCase{"2.5E-3", JsonKind::Floating, "0.0025"},
        NumberCase{"1.23456e+2", JsonKind::Floating, "123.456"},
        NumberCase{"1e14", JsonKind::Floating, "100000000000000"},
        NumberCase{"1e15", JsonKind::Floating, "1e+15"},
        NumberCase{"1e-4", JsonKind::Floating, "0.0001"},
        NumberCase{"0.00001", JsonKind::Floating, "1e-05"},
        NumberCase{"-1.5e300", JsonKind::Floating, "-1.5e+300"},
        NumberCase{"123456789.123456789", JsonKind::Floating, "123456789.123457"},
        NumberCase{"0.1234567890123456789", JsonKind::Floating, "0.123456789012346"},
        NumberCase{"2.00000", JsonKind::Floating, "2"},
        NumberCase{"-0.0e0", JsonKind::Floating, "0"},
        NumberCase{"1e-999", JsonKind::Floating, "0"},
        NumberCase{"1e999", JsonKind::Floating, "1e+999"},
        NumberCase{"-1e999", JsonKind::Floating, "-1e+999"},
        NumberCase{"0.000000000000000000001e330", JsonKind::Floating, "1e+999"},
        NumberCase{"1000000000000000000000e-360", JsonKind::Floating, "0"},
        NumberCase{std::string(400, '9'), JsonKind::Floating, "1e+999"}));

struct TenThousandthsCase {
    std::string input;
    std::int64_t value;
};

void PrintTo(const TenThousandthsCase& c, std::ostream* os) {
    *os << c.input;
}

class DecimalValueTest : public ::testing::TestWithParam<TenThousandthsCase> {};

TEST_P(DecimalValueTest, HeldAsTenThousandths) {
    EXPECT_EQ(Parse(GetParam().input).DecimalTenThousandths(), GetParam().value)
        << GetParam().input;
}

INSTANTIATE_TEST_SUITE_P(Table, DecimalValueTest,
                         ::testing::Values(TenThousandthsCase{"1.5", 15000},
                                           TenThousandthsCase{"1.", 10000},
                                           TenThousandthsCase{"-0.25", -2500},
                                           TenThousandthsCase{"-0.0001", -1},
                                           TenThousandthsCase{"1500000.00", 15000000000},
                                           TenThousandthsCase{"12.3456", 123456}));

TEST(NumberValue, FloatingIsTheNearestDouble) {
    EXPECT_EQ(Parse("0.1000000000000000055511151231257827").FloatingValue(), 0.1);
    EXPECT_EQ(Parse("12.34567").FloatingValue(), 12.34567);
    EXPECT_EQ(Parse("4.9406564584124654e-324").FloatingValue(), 4.9406564584124654e-324);
    EXPECT_EQ(Parse("-9223372036854775807").IntegerValue(), -9223372036854775807);
}

// A number "-foo" or a date is no number at all; the parse fails rather than guess a value.
TEST(NumberValue, MalformedNumberGivesNothing) {
    for (const char* text : {"-", "--1", "1-2", "1+", "1e", "1e+", "1ee5", "1.2.3", "-e5",
                             "2023-05-10", "[1-]", "{\"a\":1.2.3}"}) {
        EXPECT_TRUE(Parse(text).IsNothing()) << text;
    }
}

// ---- Parsing ----

struct ParseCase {
    const char* what;
    std::string input;
    std::optional<JsonKind> kind;  // nothing when empty
    std::string text;
};

ParseCase Nothing(const char* what, std::string input) {
    return {what, std::move(input), {}, {}};
}
ParseCase Gives(const char* what, std::string input, JsonKind kind, std::string text) {
    return {what, std::move(input), kind, std::move(text)};
}

void PrintTo(const ParseCase& c, std::ostream* os) {
    *os << c.what;
}

class ParseTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseTest, Result) {
    const ParseCase& c = GetParam();
    const JsonValue value = Parse(c.input);
    if (!c.kind) {
        EXPECT_TRUE(value.IsNothing()) << c.what << ": " << value.Text();
        return;
    }
    ASSERT_FALSE(value.IsNothing()) << c.what;
    EXPECT_EQ(value.Kind(), *c.kind) << c.what;
    EXPECT_EQ(value.Text(), c.text) << c.what;
}

using K = JsonKind;

INSTANTIATE_TEST_SUITE_P(
    Empty, ParseTest,
    ::testing::Values(Gives("empty text", "", K::Text, ""),
                      Gives("white space only", " \t\r\n\b\f", K::Text, ""),
                      Gives("comment only", "/* nothing */ // here", K::Text, ""),
                      Gives("unterminated comment", "/* open", K::Text, ""),
                      Gives("NUL first", std::string("\0{}", 3), K::Text, "")));

INSTANTIATE_TEST_SUITE_P(
    NotJson, ParseTest,
    ::testing::Values(
        Gives("HTML page", "<html><body>Not found</body></html>\r\n", K::Text,
              "<html><body>Not found</body></html>"),
        Gives("byte-order mark before a document", "\xEF\xBB\xBF{\"a\":1}", K::Text,
              "\xEF\xBB\xBF{\"a\":1}"),
        Gives("page beginning with digits", "404 Not Found", K::Integer, "404"),
        Gives("top-level bare word runs to the end", "abc, def]", K::Text, "abc, def]"),
        Gives("top-level bare word keeps a tab at its end", "hello\t", K::Text, "hello\t"),
        Gives("escapes in a top-level bare word", "ab\\u0041\\,", K::Text, "abA,"),
        Nothing("slash that starts no comment", "/x"), Nothing("lone slash", "/"),
        Nothing("malformed escape in a page", "<p>\\u00zz</p>")));

INSTANTIATE_TEST_SUITE_P(
    Literals, ParseTest,
    ::testing::Values(Gives("true", "true", K::Boolean, "true"),
                      Gives("false", "false", K::Boolean, "false"),
                      Gives("null", "null", K::Null, "null"),
                      Gives("literal followed by a digit", "true1", K::Boolean, "true"),
                      Gives("capital True", "True", K::Text, "True"),
                      Gives("null and letters", "nullx", K::Text, "nullx"),
                      Gives("null and underscore", "null_", K::Text, "null_"),
                      Gives("null and point", "null.", K::Text, "null."),
                      Gives("null and a Cyrillic letter", "nullы", K::Text, "nullы"),
                      Gives("literals in an array", "[true,false,null]", K::Array,
                            "[true,false,null]"),
                      Gives("bare words that begin like literals", "[True, nullify,f]", K::Array,
                            "[\"True\",\"nullify\",\"f\"]")));

INSTANTIATE_TEST_SUITE_P(
    Containers, ParseTest,
    ::testing::Values(
        Gives("trailing text after the object", "{\"a\":1} trailing {garbage", K::Object,
              "{\"a\":1}"),
        Gives("blanks everywhere", " { \"a\" : [ 1 , 2 ] , 'b' : { } , \"c\" : [ ] } ", K::Object,
              "{\"a\":[1,2],\"b\":{},\"c\":[]}"),
        Gives("comments between tokens", "/*c*/{/*c*/\"a\"/*c*/:/*c*/1/*c*/,//x\n\"b\"://y\n2}",
              K::Object, "{\"a\":1,\"b\":2}"),
        Gives("bare words as elements", "[abc, def ,g h]", K::Array, "[\"abc\",\"def\",\"g h\"]"),
        Gives("bare word as member value", "{a: hello world , b:2}", K::Object,
              "{\"a\":\"hello world\",\"b\":2}"),
        Gives("bare word runs over the other bracket", "[x}y]", K::Array, "[\"x}y\"]"),
        Gives("bare member value runs over ]", "{a:x]y}", K::Object, "{\"a\":\"x]y\"}"),
        Gives("escaped comma inside a bare word", "[a\\,b]", K::Array, "[\"a,b\"]"),
        Gives("bare names", "{key_1:1, $k:2, ключ:3}", K::Object,
              "{\"key_1\":1,\"$k\":2,\"ключ\":3}"),
        Gives("single-quoted names and texts", "{'a':'say \"hi\"'}", K::Object,
              "{\"a\":\"say \\\"hi\\\"\"}"),
        Gives("empty element after a comma", "[1,]", K::Array, "[1,\"\"]"),
        Gives("empty member value", "{a:,b:}", K::Object, "{\"a\":\"\",\"b\":\"\"}"),
        Gives("NUL after the document", std::string("{\"a\":1}\0junk", 12), K::Object, "{\"a\":1}"),
        Nothing("cut after the colon", "{\"a\":"), Nothing("cut after a value", "{\"a\":1"),
        Nothing("cut after a comma", "[1,"), Nothing("unterminated string", "\"abc"),
        Nothing("unterminated single-quoted string", "'abc"),
        Nothing("backslash at the end", "\"abc\\"), Nothing("missing comma", "[1 2]"),
        Nothing("missing comma between members", "{\"a\":1 \"b\":2}"),
        Nothing("missing colon", "{\"a\" 1}"), Nothing("two bare words as a name", "{a b:1}"),
        Nothing("comma where a name is expected", "{,}"),
        Nothing("closing brace where a name is expected", "{\"a\":1,}"),
        Nothing("empty name", "{:1}"), Nothing("bracket as a name", "{[:1}"),
        Nothing("bare word cut off", "[a b"), Nothing("comment in an array left open", "[1 /*"),
        Nothing("slash inside an object", "{\"a\":/1}"),
        Nothing("NUL inside an array", std::string("[1,\0 2]", 7))));

INSTANTIATE_TEST_SUITE_P(
    Strings, ParseTest,
    ::testing::Values(
        Gives("\\u escape after a letter", "\"a\\u0041\"", K::Text, "aA"),
        Gives("control escapes", "'\\b\\f\\n\\r\\t'", K::Text, "\b\f\n\r\t"),
        Gives("\\x escapes", "\"\\x41\\xe9\"", K::Text, "A\xC3\xA9"),
        Gives("any other escaped character", "\"\\q\\\"\\\\\\/\\'\"", K::Text, "q\"\\/'"),
        Gives("escaped multi-byte character", "\"\\ж\"", K::Text, "ж"),
        Gives("surrogate pair", "\"\\ud83d\\uDE00\"", K::Text, "\xF0\x9F\x98\x80"),
        Gives("lone high surrogate", "\"\\ud83dx\"", K::Text, R + "x"),
        Gives("lone low surrogate", "\"\\ude00\"", K::Text, R),
        Gives("high surrogate before a pair", "\"\\ud83d\\ud83d\\ude00\"", K::Text,
              R + "\xF0\x9F\x98\x80"),
        Gives("high surrogate before another escape", "\"\\ud83d\\u0041\"", K::Text, R + "A"),
        Gives("escaped NUL", "\"a\\u0000b\"", K::Text, std::string("a\0b", 3)),
        Gives("raw control characters", "\"a\tb\nc\x01\"", K::Text, "a\tb\nc\x01"),
        Gives("other quote inside", "'a\"b'", K::Text, "a\"b"),
        Gives("two-byte and three-byte \\u", "\"\\u00e9\\u20AC\"", K::Text, "\xC3\xA9\xE2\x82\xAC"),
        Nothing("\\u with three digits", "\"\\u004\""),
        Nothing("\\u with a non-hex digit", "\"\\u00G0\""),
        Nothing("\\x with one digit", "\"\\x4\""), Nothing("\\x with no digits", "\"\\xZZ\""),
        Nothing("pair cut inside its second escape", "\"\\ud83d\\ude0\"")));

// ---- Nesting ----

std::string Nested(int levels, const std::string& inner, bool objects) {
    std::string text;
    for (int i = 0; i < levels; ++i)
        text += objects ? "{\"k\":" : "[";
    // The innermost container is written out in full.
    text += objects ? "{" : "[";
    if (!inner.empty())
        text += objects ? "\"k\":" + inner : inner;
    text += objects ? "}" : "]";
    for (int i = 0; i < levels; ++i)
        text += objects ? "}" : "]";
    return text;
}

TEST(Nesting, AContainerAtTheThirtySecondLevelMayNotHoldAValue) {
    for (const bool objects : {false, true}) {
        // Nested(n, ...) puts the innermost container at level n + 1.
        EXPECT_FALSE(Parse(Nested(31, "", objects)).IsNothing()) << objects;
        EXPECT_TRUE(Parse(Nested(31, "1", objects)).IsNothing()) << objects;
        EXPECT_FALSE(Parse(Nested(30, "1", objects)).IsNothing()) << objects;
        EXPECT_TRUE(Parse(Nested(32, "", objects)).IsNothing()) << objects;
        EXPECT_EQ(Parse(Nested(30, "1", objects)).Text(), Nested(30, "1", objects));
    }
}

TEST(Nesting, VeryDeepTextGivesNothing) {
    EXPECT_TRUE(Parse(std::string(1000000, '[')).IsNothing());
    std::string objects;
    for (int i = 0; i < 200000; ++i)
        objects += "{a:";
    EXPECT_TRUE(Parse(objects).IsNothing());
}

// ---- Access ----

TEST(Access, NullMemberIsPresent) {
    const JsonValue doc = Parse(R"({"w":null})");
    ASSERT_FALSE(doc.Member("w").IsNothing());
    EXPECT_EQ(doc.Member("w").Kind(), JsonKind::Null);
    EXPECT_EQ(doc.MemberText("w"), "null");
    EXPECT_EQ(doc.Member("w").MemberText("name"), "");
    EXPECT_TRUE(doc.Member("w").Member("name").IsNothing());
}

TEST(Access, NamesAreComparedExactly) {
    const JsonValue doc = Parse(R"({"Name":"x","имя":"y","":"empty"})");
    EXPECT_EQ(doc.MemberText("name"), "");
    EXPECT_EQ(doc.MemberText("Name"), "x");
    EXPECT_EQ(doc.MemberText("Имя"), "");
    EXPECT_EQ(doc.MemberText("имя"), "y");
    EXPECT_EQ(doc.MemberText(""), "empty");
    EXPECT_EQ(doc.MemberText("Nam"), "");
}

TEST(Access, PricesInMemberText) {
    const JsonValue doc = Parse(R"({"a":1500000.00,"b":1500000,"c":1500000.5})");
    EXPECT_EQ(doc.MemberText("a"), "1500000.");
    EXPECT_EQ(doc.MemberText("b"), "1500000");
    EXPECT_EQ(doc.MemberText("c"), "1500000.5");
}

TEST(Access, ArrayElements) {
    const JsonValue array = Parse("[1,2]").AsArray();
    ASSERT_FALSE(array.IsNothing());
    EXPECT_EQ(array.Length(), 2u);
    EXPECT_EQ(array.Element(0).IntegerValue(), 1);
    EXPECT_EQ(array.Element(1).Text(), "2");
    EXPECT_TRUE(array.Element(2).IsNothing());
    EXPECT_TRUE(array.Element(static_cast<std::size_t>(-1)).IsNothing());
    EXPECT_TRUE(array.Member("0").IsNothing());
}

TEST(Access, ObjectMemberTextIsCompactJsonText) {
    const JsonValue doc = Parse(R"({"o": {"k": "say \"hi\""}, "a": [ 1, {"x" : null} ]})");
    EXPECT_EQ(doc.MemberText("o"), R"({"k":"say \"hi\""})");
    EXPECT_EQ(doc.MemberText("a"), R"([1,{"x":null}])");
    EXPECT_EQ(doc.Length(), 2u);
    EXPECT_TRUE(doc.AsArray().IsNothing());
    EXPECT_TRUE(doc.Element(0).IsNothing());
}

// In JSON text only the double quote, the backslash, the slash and NUL are escaped; control
// and non-ASCII characters go out as they are, in names as in values.
TEST(Access, JsonTextEscapesOnlyFourCharacters) {
    const JsonValue doc = Parse(R"({"a/\"b":"q\"b\\c\/d\u0000e\u0001é\n\t"})");
    EXPECT_EQ(doc.Text(), std::string("{\"a\\/\\\"b\":\"q\\\"b\\\\c\\/d\\u0000e\x01"
                                      "\xC3\xA9\n\t\"}"));
    EXPECT_EQ(doc.MemberText("a/\"b"), std::string("q\"b\\c/d\0e\x01\xC3\xA9\n\t", 14));
}

TEST(Access, TextValueHasNoMembers) {
    const JsonValue page = Parse("<html><body>found pageData guid</body></html>");
    ASSERT_EQ(page.Kind(), JsonKind::Text);
    EXPECT_EQ(page.MemberText("found"), "");
    EXPECT_TRUE(page.Member("pageData").IsNothing());
    EXPECT_TRUE(page.AsArray().IsNothing());
    EXPECT_EQ(page.Length(), 0u);
    EXPECT_TRUE(page.Element(0).IsNothing());
}

TEST(Access, FirstOfTwoEqualNamesCounts) {
    const JsonValue doc = Parse(R"({"a":1,"a":2})");
    EXPECT_EQ(doc.MemberText("a"), "1");
    EXPECT_EQ(doc.Text(), R"({"a":1,"a":2})");
}

TEST(Access, ValuesOutliveTheirDocument) {
    JsonValue lot;
    JsonValue name;
    {
        JsonValue doc =
            Parse(R"({"pageData":[{"guid":"g1"},{"guid":"g2","winner":{"name":"W"}}]})");
        lot = doc.Member("pageData").Element(1);
        name = lot.Member("winner").Member("name");
    }
    EXPECT_EQ(lot.MemberText("guid"), "g2");
    lot = JsonValue();
    EXPECT_EQ(name.Text(), "W");
}

TEST(Access, EveryOperationOnNothingRaises) {
    const JsonValue cut = Parse("{\"a\":");
    ASSERT_TRUE(cut.IsNothing());
    ASSERT_FALSE(static_cast<bool>(cut));
    const std::vector<std::pair<const char*, std::function<void()>>> operations = {
        {"Kind", [&] { cut.Kind(); }},
        {"Member", [&] { cut.Member("a"); }},
        {"MemberText", [&] { cut.MemberText("a"); }},
        {"Text", [&] { cut.Text(); }},
        {"AsArray", [&] { cut.AsArray(); }},
        {"Length", [&] { cut.Length(); }},
        {"Element", [&] { cut.Element(0); }},
        {"IntegerValue", [&] { cut.IntegerValue(); }},
        {"DecimalTenThousandths", [&] { cut.DecimalTenThousandths(); }},
        {"FloatingValue", [&] { cut.FloatingValue(); }},
        {"Member of a missing member", [] { Parse("{}").Member("a").MemberText("b"); }},
        {"Element past the end", [] { Parse("[]").Element(0).Text(); }},
    };
    for (const auto& [name, operation] : operations) {
        EXPECT_THROW(operation(), JsonAccessError) << name;
    }
}

TEST(Access, NumberReadersRaiseOnAnotherKind) {
    EXPECT_THROW(Parse("1.5").IntegerValue(), JsonAccessError);
    EXPECT_THROW(Parse("15").DecimalTenThousandths(), JsonAccessError);
    EXPECT_THROW(Parse("\"1e5\"").FloatingValue(), JsonAccessError);
}

// ---- Locale ----

// The window sets the C library's locale from the desktop's regional settings; with a Russian
// locale the decimal point of the C library is ",", which must not reach numbers.
class CommaLocale : public ::testing::Test {
protected:
    void SetUp() override {
        if (!std::setlocale(LC_NUMERIC, "ru_RU.UTF-8")) {
            // Most build machines have no Russian locale: compile one of our own.
            const auto dir = std::filesystem::temp_directory_path() / "korvalot-locale";
            ::setenv("LOCPATH", dir.c_str(), 1);
            if (!std::setlocale(LC_NUMERIC, "ru_RU.UTF-8")) {
                std::filesystem::create_directories(dir);
                const std::string make = "localedef -i ru_RU -f UTF-8 '" +
                                         (dir / "ru_RU.UTF-8").string() + "' 2>/dev/null";
                if (std::system(make.c_str()) == 0)
                    std::setlocale(LC_NUMERIC, "ru_RU.UTF-8");
            }
        }
        char buffer[8];
        std::snprintf(buffer, sizeof buffer, "%.1f", 1.5);
        if (std::string(buffer) != "1,5")
            GTEST_SKIP() << "no locale with a decimal comma";
    }
    void TearDown() override { std::setlocale(LC_NUMERIC, "C"); }
};

TEST_F(CommaLocale, NumbersKeepThePoint) {
    EXPECT_EQ(Parse("12.34567").Text(), "12.34567");
    EXPECT_EQ(Parse("2.5e-3").FloatingValue(), 0.0025);
    EXPECT_EQ(Parse("[1.5e300,1.5]").Text(), "[1.5e+300,1.5]");
}

}  // namespace
}  // namespace korvalot::json
