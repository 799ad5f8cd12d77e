#include "json/JsonValue.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <ostream>
#include <random>
#include <sstream>
#include <string>
#include <utility>

#include <gtest/gtest.h>

namespace korvalot::json {
namespace {

std::string ReadDataFile(const char* name) {
    std::ifstream in(std::string(KORVALOT_JSON_TEST_DATA) + "/" + name, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// ---- Register answers cut off anywhere ----

class TruncatedAnswerTest : public ::testing::TestWithParam<const char*> {};

// Every prefix is parsed from a buffer of exactly its own size, so that AddressSanitizer sees
// any read past the end. A prefix that stops before the closing brace of the answer leaves the
// root object unfinished and gives nothing; the rest give the whole answer.
TEST_P(TruncatedAnswerTest, EveryPrefixGivesNothingOrTheWholeAnswer) {
    const std::string answer = ReadDataFile(GetParam());
    ASSERT_FALSE(answer.empty());
    const JsonValue whole = Parse(answer);
    ASSERT_FALSE(whole.IsNothing());
    ASSERT_EQ(whole.Kind(), JsonKind::Object);
    ASSERT_EQ(whole.Member("pageData").AsArray().Length(), 3u);
    const std::string wholeText = whole.Text();
    const std::size_t closing = answer.rfind('}');

    int wrong = 0;
    for (std::size_t n = 1; n <= answer.size(); ++n) {
        auto buffer = std::make_unique<char[]>(n);
        std::memcpy(buffer.get(), answer.data(), n);
        const JsonValue value = Parse(std::string_view(buffer.get(), n));
        const bool ok =
            n <= closing ? value.IsNothing() : !value.IsNothing() && value.Text() == wholeText;
        if (!ok && ++wrong <= 3)
            ADD_FAILURE() << "prefix of " << n << " bytes";
    }
    EXPECT_EQ(wrong, 0);
}

INSTANTIATE_TEST_SUITE_P(RegisterAnswers, TruncatedAnswerTest,
                         ::testing::Values("search_answer.json", "lots_answer.json"));

TEST(RegisterAnswer, MembersTheSystemReads) {
    const JsonValue search = Parse(ReadDataFile("search_answer.json"));
    EXPECT_EQ(search.MemberText("found"), "137");
    const JsonValue trades = search.Member("pageData").AsArray();
    ASSERT_EQ(trades.Length(), 3u);
    EXPECT_EQ(trades.Element(2).MemberText("guid"), "3C2B1A00-FFEE-4DDC-BBAA-998877665544");
    EXPECT_EQ(trades.Element(1).Member("tradePlace").MemberText("name"), "АО «Торги»");
    EXPECT_EQ(trades.Element(2).MemberText("note"), "cost 1.25e3 \xF0\x9F\x98\x80");
    EXPECT_EQ(trades.Element(0).MemberText("startPrice"), "1500000.");

    const JsonValue lots = Parse(ReadDataFile("lots_answer.json")).Member("pageData");
    ASSERT_EQ(lots.Length(), 3u);
    const JsonValue first = lots.Element(0);
    EXPECT_EQ(first.MemberText("startPrice"), "1234567.89");
    EXPECT_EQ(first.MemberText("currentPrice"), "null");
    EXPECT_EQ(first.MemberText("stepPercent"), "5.123456");
    EXPECT_EQ(first.MemberText("deposit"), "123456.789");
    EXPECT_EQ(first.Member("winner").MemberText("name"), "ООО \"Покупатель\"");
    EXPECT_NE(first.MemberText("tradeObject").find("№12/2019"), std::string::npos);
    EXPECT_EQ(lots.Element(1).MemberText("classifiers"),
              R"([{"code":"0101","name":"Транспорт"},17,null])");
    EXPECT_EQ(lots.Element(1).MemberText("currentPrice"), "91000.");
    EXPECT_EQ(lots.Element(2).MemberText("startPrice"), "1000000");
    EXPECT_EQ(lots.Element(2).MemberText("currentPrice"), "-0.0001");
    EXPECT_EQ(lots.Element(2).Member("winner").MemberText("inn"), "null");
}

// ---- Generated documents against a reference ----

// Writes a random lenient document together with the JSON text that its parse must give, the
// latter worked out independently: numbers through the C library, texts through their decoded
// characters.
class DocumentGenerator {
public:
    explicit DocumentGenerator(unsigned seed) : random_(seed) {}

    // A top-level container with blanks, comments and trailing text around it.
    std::pair<std::string, std::string> Next() {
        input_.clear();
        expected_.clear();
        Space();
        if (Chance(2)) {
            Object(0);
        } else {
            Array(0);
        }
        if (Chance(3))
            input_ += " trailing [{\"junk";
        return {input_, expected_};
    }

private:
    int Below(int n) { return static_cast<int>(random_() % static_cast<unsigned>(n)); }
    bool Chance(int n) { return Below(n) == 0; }
    template <std::size_t N>
    const char* Pick(const char* const (&items)[N]) {
        return items[Below(N)];
    }

    void Space() {
        static const char* const kSpaces[] = {"",       "",      "",      " ",         "\n",  "\t",
                                              "\r\n  ", "/*c*/", "//c\n", " /* a */ ", "\b\f"};
        input_ += Pick(kSpaces);
    }

    // After a bare word only blanks and line ends may follow: they are cut from the word.
    void BareSpace() {
        static const char* const kSpaces[] = {"", " ", "\r\n", "  \n"};
        input_ += Pick(kSpaces);
    }

    static void AppendEscaped(const std::string& text, std::string& out) {
        out += '"';
        for (const char c : text) {
            if (c == '"') {
                out += "\\\"";
            } else if (c == '\\') {
                out += "\\\\";
            } else if (c == '/') {
                out += "\\/";
            } else if (c == '\0') {
                out += "\\u0000";
            } else {
                out += c;
            }
        }
        out += '"';
    }

    static std::string Utf8(std::uint32_t cp) {
        std::string s;
        if (cp < 0x80) {
            s += static_cast<char>(cp);
        } else if (cp < 0x800) {
            s += static_cast<char>(0xC0 | (cp >> 6));
            s += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            s += static_cast<char>(0xE0 | (cp >> 12));
            s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            s += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            s += static_cast<char>(0xF0 | (cp >> 18));
            s += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            s += static_cast<char>(0x80 | (cp & 0x3F));
        }
        return s;
    }

    std::string Hex(std::uint32_t value, int digits) {
        static const char kUpper[] = "0123456789ABCDEF";
        static const char kLower[] = "0123456789abcdef";
        const char* set = Chance(2) ? kUpper : kLower;
        std::string s(static_cast<std::size_t>(digits), '0');
        for (int i = digits - 1; i >= 0; --i, value >>= 4)
            s[static_cast<std::size_t>(i)] = set[value & 15];
        return s;
    }

    // One piece of a quoted text: what is written and the characters it stands for.
    std::pair<std::string, std::string> TextPiece(char quote) {
        const char other = quote == '"' ? '\'' : '"';
        switch (Below(16)) {
            case 0:
                return {"\\\"", "\""};
            case 1:
                return {"\\\\", "\\"};
            case 2:
                return {"\\/", "/"};
            case 3: {
                static const char* const kEscapes[] = {"b\b", "f\f", "n\n", "r\r",
                                                       "t\t", "qq",  "''",  "::"};
                const char* e = Pick(kEscapes);
                return {std::string("\\") + e[0], std::string(1, e[1])};
            }
            case 4: {
                std::uint32_t cp = static_cast<std::uint32_t>(Below(0xD800));
                return {"\\u" + Hex(cp, 4), Utf8(cp)};
            }
            case 5: {
                const std::uint32_t cp = 0x10000 + static_cast<std::uint32_t>(Below(0x100000));
                const std::uint32_t high = 0xD800 + ((cp - 0x10000) >> 10);
                const std::uint32_t low = 0xDC00 + ((cp - 0x10000) & 0x3FF);
                return {"\\u" + Hex(high, 4) + "\\u" + Hex(low, 4), Utf8(cp)};
            }
            case 6: {
                // A lone surrogate: a high one before a plain character, or a low one.
                if (Chance(2)) {
                    return {"\\u" + Hex(0xD800 + static_cast<std::uint32_t>(Below(0x400)), 4) + "x",
                            "\xEF\xBF\xBD"
                            "x"};
                }
                return {"\\u" + Hex(0xDC00 + static_cast<std::uint32_t>(Below(0x400)), 4),
                        "\xEF\xBF\xBD"};
            }
            case 7: {
                const std::uint32_t unit = static_cast<std::uint32_t>(Below(256));
                return {"\\x" + Hex(unit, 2), Utf8(unit)};
            }
            case 8:
                return {"\\u0000", std::string(1, '\0')};
            case 9: {
                const char c = static_cast<char>(1 + Below(31));
                return {std::string(1, c), std::string(1, c)};
            }
            case 10: {
                static const char* const kWide[] = {"ж", "€", "\xF0\x9F\x98\x80", "ё", "№"};
                const char* w = Pick(kWide);
                return {w, w};
            }
            case 11:
                return {std::string(1, other), std::string(1, other)};
            default: {
                static const char kPlain[] = "abcXYZ 0123456789,:;{}[]/*.-+e";
                const std::string s(1, kPlain[Below(sizeof kPlain - 1)]);
                return {s, s};
            }
        }
    }

    void QuotedText() {
        const char quote = Chance(4) ? '\'' : '"';
        std::string text;
        input_ += quote;
        for (int i = Below(8); i > 0; --i) {
            auto [written, meant] = TextPiece(quote);
            input_ += written;
            text += meant;
        }
        input_ += quote;
        AppendEscaped(text, expected_);
    }

    void BareWord() {
        static const char* const kFirst[] = {"a", "Z", "ж", "<", "@", "#", "$", "%", "x", "."};
        static const char* const kRest[] = {"a", "b", " ",   "1",   "\"",  "'",
                                            "{", "[", ":",   "//",  "/*",  "ё",
                                            "<", ">", "\\,", "\\]", "\\}", "\\u0041"};
        static const char* const kRestMeant[] = {"a",  "b",  " ", "1", "\"", "'", "{", "[", ":",
                                                 "//", "/*", "ё", "<", ">",  ",", "]", "}", "A"};
        std::string text = Pick(kFirst);
        input_ += text;
        for (int i = Below(8); i > 0; --i) {
            const int k = Below(sizeof kRest / sizeof kRest[0]);
            input_ += kRest[k];
            text += kRestMeant[k];
        }
        while (!text.empty() && text.back() == ' ')
            text.pop_back();
        BareSpace();
        AppendEscaped(text, expected_);
    }

    std::string Digits(int count, bool nonZeroFirst) {
        std::string s;
        for (int i = 0; i < count; ++i) {
            s += static_cast<char>('0' + (i == 0 && nonZeroFirst ? 1 + Below(9) : Below(10)));
        }
        return s;
    }

    void Number() {
        const std::string sign = Chance(3) ? "-" : "";
        std::string text;
        switch (Below(4)) {
            case 0: {
                // A whole number, sometimes too long for 64 bits.
                text = sign + Digits(1 + Below(Chance(4) ? 22 : 12), false);
                errno = 0;
                const long long value = std::strtoll(text.c_str(), nullptr, 10);
                if (errno == 0) {
                    expected_ += std::to_string(value);
                    input_ += text;
                    return;
                }
                break;
            }
            case 1: {
                // At most four fraction digits: the integer part without its leading zeros, the
                // fraction without its trailing zeros, "0" for zero.
                std::string whole = Digits(Below(12), false);
                std::string fraction = Digits(Below(5), false);
                // Only "-" or a digit starts a number.
                if (whole.empty() && (sign.empty() || fraction.empty()))
                    whole = "0";
                input_ += sign + whole + "." + fraction;
                const auto firstDigit = whole.find_first_not_of('0');
                whole = firstDigit == std::string::npos ? "0" : whole.substr(firstDigit);
                const auto lastDigit = fraction.find_last_not_of('0');
                fraction = lastDigit == std::string::npos ? "" : fraction.substr(0, lastDigit + 1);
                if (whole == "0" && fraction.empty()) {
                    expected_ += "0";
                } else {
                    expected_ += sign + whole + "." + fraction;
                }
                return;
            }
            case 2:
                text = sign + Digits(1 + Below(6), true) + "." + Digits(5 + Below(15), false);
                break;
            default:
                text = sign + Digits(1 + Below(4), true) +
                       (Chance(2) ? "." + Digits(Below(6), false) : "") + (Chance(2) ? "e" : "E") +
                       (Chance(2)   ? ""
                        : Chance(2) ? "+"
                                    : "-") +
                       std::to_string(Below(40));
                break;
        }
        input_ += text;
        char buffer[64];
        std::snprintf(buffer, sizeof buffer, "%.15g", std::strtod(text.c_str(), nullptr));
        expected_ += buffer;
    }

    void Value(int depth) {
        const int choice = Below(depth < 5 ? 12 : 9);
        if (choice < 3) {
            QuotedText();
        } else if (choice < 6) {
            Number();
        } else if (choice == 6) {
            static const char* const kLiterals[] = {"true", "false", "null"};
            const char* literal = Pick(kLiterals);
            input_ += literal;
            expected_ += literal;
        } else if (choice < 9) {
            BareWord();
            return;
        } else if (choice < 11) {
            Object(depth + 1);
        } else {
            Array(depth + 1);
        }
        Space();
    }

    void Name() {
        if (Chance(3)) {
            static const char* const kNames[] = {"a", "guid", "ключ", "$x", "_1", "a.b", "1", "t"};
            const char* name = Pick(kNames);
            input_ += name;
            AppendEscaped(name, expected_);
        } else {
            QuotedText();
        }
    }

    void Array(int depth) {
        input_ += '[';
        expected_ += '[';
        Space();
        for (int i = 0, n = Below(5); i < n; ++i) {
            if (i > 0) {
                input_ += ',';
                expected_ += ',';
                Space();
            }
            Value(depth);
        }
        input_ += ']';
        expected_ += ']';
        Space();
    }

    void Object(int depth) {
        input_ += '{';
        expected_ += '{';
        Space();
        for (int i = 0, n = Below(5); i < n; ++i) {
            if (i > 0) {
                input_ += ',';
                expected_ += ',';
                Space();
            }
            Name();
            Space();
            input_ += ':';
            expected_ += ':';
            Space();
            Value(depth);
        }
        input_ += '}';
        expected_ += '}';
        Space();
    }

    std::mt19937 random_;
    std::string input_;
    std::string expected_;
};

// The parse gives the reference's JSON text, and that text parses back to itself.
TEST(GeneratedDocuments, ParseToTheReferenceTextAndBack) {
    DocumentGenerator generator(20230510);
    int wrong = 0;
    for (int i = 0; i < 3000 && wrong < 5; ++i) {
        const auto [input, expected] = generator.Next();
        const JsonValue value = Parse(input);
        if (value.IsNothing()) {
            ++wrong;
            ADD_FAILURE() << "nothing from " << ::testing::PrintToString(input);
            continue;
        }
        const std::string text = value.Text();
        if (text != expected) {
            ++wrong;
            ADD_FAILURE() << "from " << ::testing::PrintToString(input) << "\n got "
                          << ::testing::PrintToString(text) << "\nwant "
                          << ::testing::PrintToString(expected);
            continue;
        }
        const JsonValue again = Parse(text);
        if (again.IsNothing() || again.Text() != text || again.Kind() != value.Kind()) {
            ++wrong;
            ADD_FAILURE() << "no round trip for " << ::testing::PrintToString(text);
        }
    }
    EXPECT_EQ(wrong, 0);
}

// A body with many values in few bytes is read in two passes instead of one, to keep its memory
// bounded; the leading bare commas here push every document onto that road. What is read must
// not depend on the road: the same documents read alike either way, broken ones included.
TEST(GeneratedDocuments, ReadAlikeWhenManyEmptyElementsComeFirst) {
    DocumentGenerator generator(20240611);
    const std::string commas(20000, ',');
    int wrong = 0;
    for (int i = 0; i < 200 && wrong < 5; ++i) {
        const std::string input = generator.Next().first;
        const JsonValue direct = Parse("[" + input + "]");
        const JsonValue twoPass = Parse("[" + commas + input + "]");
        if (direct.IsNothing() != twoPass.IsNothing() ||
            (!direct.IsNothing() &&
             (twoPass.Length() != commas.size() + direct.Length() ||
              twoPass.Element(commas.size()).Text() != direct.Element(0).Text() ||
              !twoPass.Element(commas.size() - 1).Text().empty()))) {
            ++wrong;
            ADD_FAILURE() << "read differently: " << ::testing::PrintToString(input);
        }
    }
    EXPECT_EQ(wrong, 0);
    // And broken the same way: cut inside the last value.
    EXPECT_TRUE(Parse("[" + commas + "{\"a\":[1,2").IsNothing());
    EXPECT_TRUE(Parse("[" + commas + "\"\\u12\"]").IsNothing());
}

}  // namespace
}  // namespace korvalot::json
