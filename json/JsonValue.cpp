#include "json/JsonValue.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace korvalot::json {

// One value of a parsed document. Texts and names point into the document's own copy of the
// parsed text (decoded in place), children into the document's node blocks; every node of a
// container's children lies in one contiguous run.
struct JsonNode {
    const char* name;  // member name, for the members of an object
    union {
        std::int64_t integer;  // Integer; Decimal in ten-thousandths
        double floating;
        bool boolean;
        const char* text;
        const JsonNode* children;
    };
    std::size_t length;  // bytes of a text, elements or members of a container
    std::uint32_t nameLength;
    JsonKind kind;
};

namespace {

// A container at this level may be empty but may hold no value.
constexpr int kMaxLevel = 32;

// A parsed text and every node made from it; a value handed out keeps all of it alive.
class Document {
public:
    explicit Document(std::size_t textLength)
        : text_(std::make_unique_for_overwrite<char[]>(textLength + 1)),
          // Register answers hold about one value per twenty bytes.
          nextBlockSize_(textLength / 20 + 16) {}

    char* Text() { return text_.get(); }
    JsonNode& Root() { return root_; }

    JsonNode* Allocate(std::size_t count) {
        if (count > freeCount_) {
            const std::size_t size = count > nextBlockSize_ ? count : nextBlockSize_;
            blocks_.push_back(std::make_unique_for_overwrite<JsonNode[]>(size));
            free_ = blocks_.back().get();
            freeCount_ = size;
            nextBlockSize_ *= 2;
        }
        JsonNode* result = free_;
        free_ += count;
        freeCount_ -= count;
        return result;
    }

private:
    std::unique_ptr<char[]> text_;
    std::vector<std::unique_ptr<JsonNode[]>> blocks_;
    JsonNode* free_ = nullptr;
    std::size_t freeCount_ = 0;
    std::size_t nextBlockSize_;
    JsonNode root_{};
};

bool IsSpace(char c) {
    return c == ' ' || c == '\n' || c == '\r' || c == '\t' || c == '\b' || c == '\f';
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The value of count hexadecimal digits at p, or -1.
long ReadHex(const char* p, int count) {
    long value = 0;
    for (int i = 0; i < count; ++i) {
        const int d = HexDigit(p[i]);
        if (d < 0)
            return -1;
        value = value * 16 + d;
    }
    return value;
}

char* PutUtf8(char* w, std::uint32_t cp) {
    if (cp < 0x80) {
        *w++ = static_cast<char>(cp);
    } else if (cp < 0x800) {
        *w++ = static_cast<char>(0xC0 | (cp >> 6));
        *w++ = static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        *w++ = static_cast<char>(0xE0 | (cp >> 12));
        *w++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        *w++ = static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        *w++ = static_cast<char>(0xF0 | (cp >> 18));
        *w++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        *w++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        *w++ = static_cast<char>(0x80 | (cp & 0x3F));
    }
    return w;
}

// The first of the bytes a, b and c at or after p, or end. Long descriptions make this the
// reader's hottest loop.
char* FindAny(char* p, char* end, char a, char b, char c) {
#if defined(__SSE2__)
    const __m128i va = _mm_set1_epi8(a);
    const __m128i vb = _mm_set1_epi8(b);
    const __m128i vc = _mm_set1_epi8(c);
    while (end - p >= 16) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(x, va), _mm_cmpeq_epi8(x, vb)),
                                         _mm_cmpeq_epi8(x, vc));
        const int mask = _mm_movemask_epi8(hit);
        if (mask != 0)
            return p + __builtin_ctz(static_cast<unsigned>(mask));
        p += 16;
    }
#endif
    for (; p < end; ++p) {
        if (*p == a || *p == b || *p == c)
            return p;
    }
    return end;
}

// Where a value sits decides where a bare word ends.
enum class Place { TopLevel, Element, MemberValue };

// Recursive descent over the document's own copy of the text; strings are decoded in place
// (no escape is shorter than what it stands for). Recursion is bounded by kMaxLevel.
class Parser {
public:
    Parser(Document& doc, char* begin, char* end, std::vector<JsonNode>& stack)
        : doc_(doc), p_(begin), end_(end), stack_(stack) {}

    bool ParseRoot(JsonNode& out) {
        if (!SkipSpace())
            return false;
        if (p_ == end_) {
            SetText(out, p_, 0);
            return true;
        }
        return ParseValue(out, 1, Place::TopLevel);
    }

private:
    static void SetText(JsonNode& out, const char* s, std::size_t n) {
        out.kind = JsonKind::Text;
        out.text = s;
        out.length = n;
    }

    // Skips white space and comments; false on a "/" that starts no comment.
    bool SkipSpace() {
        for (;;) {
            while (p_ < end_ && IsSpace(*p_))
                ++p_;
            if (p_ == end_ || *p_ != '/')
                return true;
            if (end_ - p_ < 2)
                return false;
            if (p_[1] == '*') {
                char* q = p_ + 2;
                while (q < end_ && !(q[0] == '*' && q + 1 < end_ && q[1] == '/'))
                    ++q;
                p_ = q < end_ ? q + 2 : end_;
            } else if (p_[1] == '/') {
                char* q = static_cast<char*>(std::memchr(p_ + 2, '\n', end_ - (p_ + 2)));
                p_ = q != nullptr ? q + 1 : end_;
            } else {
                return false;
            }
        }
    }

    bool ParseValue(JsonNode& out, int level, Place place) {
        switch (*p_) {
            case '"':
            case '\'': {
                const char* s;
                std::size_t n;
                if (!ParseString(*p_, s, n))
                    return false;
                SetText(out, s, n);
                return true;
            }
            case '[':
                return ParseArray(out, level);
            case '{':
                return ParseObject(out, level);
            case 't':
                if (MatchLiteral("true")) {
                    out.kind = JsonKind::Boolean;
                    out.boolean = true;
                    return true;
                }
                return ParseBareWord(out, place);
            case 'f':
                if (MatchLiteral("false")) {
                    out.kind = JsonKind::Boolean;
                    out.boolean = false;
                    return true;
                }
                return ParseBareWord(out, place);
            case 'n':
                if (MatchLiteral("null")) {
                    out.kind = JsonKind::Null;
                    out.integer = 0;
                    return true;
                }
                return ParseBareWord(out, place);
            default:
                if (*p_ == '-' || IsDigit(*p_))
                    return ParseNumber(out);
                return ParseBareWord(out, place);
        }
    }

    // A literal counts only when no letter, "_" or "." follows it; non-ASCII characters are
    // taken as letters.
    bool MatchLiteral(std::string_view word) {
        if (static_cast<std::size_t>(end_ - p_) < word.size())
            return false;
        if (std::memcmp(p_, word.data(), word.size()) != 0)
            return false;
        const char* after = p_ + word.size();
        if (after < end_) {
            const unsigned char c = static_cast<unsigned char>(*after);
            if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == '.' ||
                c >= 0x80)
                return false;
        }
        p_ += word.size();
        return true;
    }

    // At a backslash: writes what the escape stands for at w and moves past it. False on a
    // malformed \u or \x or on a backslash at the very end.
    bool Unescape(char*& w) {
        ++p_;
        if (p_ == end_)
            return false;
        const char c = *p_++;
        switch (c) {
            case 'b':
                *w++ = '\b';
                return true;
            case 'f':
                *w++ = '\f';
                return true;
            case 'n':
                *w++ = '\n';
                return true;
            case 'r':
                *w++ = '\r';
                return true;
            case 't':
                *w++ = '\t';
                return true;
            case 'x': {
                if (end_ - p_ < 2)
                    return false;
                const long unit = ReadHex(p_, 2);
                if (unit < 0)
                    return false;
                p_ += 2;
                w = PutUtf8(w, static_cast<std::uint32_t>(unit));
                return true;
            }
            case 'u': {
                if (end_ - p_ < 4)
                    return false;
                const long unit = ReadHex(p_, 4);
                if (unit < 0)
                    return false;
                p_ += 4;
                std::uint32_t cp = static_cast<std::uint32_t>(unit);
                if (cp >= 0xD800 && cp <= 0xDBFF) {
                    // Only a high surrogate directly followed by an escaped low one forms a
                    // character; any other surrogate would make the text invalid UTF-8.
                    long low = -1;
                    if (end_ - p_ >= 6 && p_[0] == '\\' && p_[1] == 'u')
                        low = ReadHex(p_ + 2, 4);
                    if (low >= 0xDC00 && low <= 0xDFFF) {
                        cp = 0x10000 + ((cp - 0xD800) << 10) +
                             (static_cast<std::uint32_t>(low) - 0xDC00);
                        p_ += 6;
                    } else {
                        cp = 0xFFFD;
                    }
                } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
                    cp = 0xFFFD;
                }
                w = PutUtf8(w, cp);
                return true;
            }
            default:
                // The character itself; the rest of a multi-byte character follows unchanged.
                *w++ = c;
                return true;
        }
    }

    // p_ at the opening quote. On success s and n hold the decoded characters.
    bool ParseString(char quote, const char*& s, std::size_t& n) {
        char* const start = ++p_;
        char* f = FindAny(p_, end_, quote, '\\', '\\');
        if (f == end_)
            return false;
        if (*f == quote) {
            s = start;
            n = static_cast<std::size_t>(f - start);
            p_ = f + 1;
            return true;
        }
        char* w = f;
        p_ = f;
        for (;;) {
            if (!Unescape(w))
                return false;
            f = FindAny(p_, end_, quote, '\\', '\\');
            if (f == end_)
                return false;
            std::memmove(w, p_, static_cast<std::size_t>(f - p_));
            w += f - p_;
            p_ = f;
            if (*f == quote)
                break;
        }
        s = start;
        n = static_cast<std::size_t>(w - start);
        ++p_;
        return true;
    }

    // A bare word: to the end of the text at the top level, else up to the "," or closing
    // bracket of its container, escapes decoded, trailing blanks and line ends removed.
    bool ParseBareWord(JsonNode& out, Place place) {
        char stop = '\\';
        if (place == Place::Element)
            stop = ']';
        if (place == Place::MemberValue)
            stop = '}';
        const char comma = place == Place::TopLevel ? '\\' : ',';
        char* const start = p_;
        char* w = p_;
        for (;;) {
            char* f = FindAny(p_, end_, comma, stop, '\\');
            if (w != p_)
                std::memmove(w, p_, static_cast<std::size_t>(f - p_));
            w += f - p_;
            p_ = f;
            if (f == end_) {
                if (place != Place::TopLevel)
                    return false;
                break;
            }
            if (*f != '\\')
                break;
            if (!Unescape(w))
                return false;
        }
        while (w > start && (w[-1] == ' ' || w[-1] == '\r' || w[-1] == '\n'))
            --w;
        SetText(out, start, static_cast<std::size_t>(w - start));
        return true;
    }

    static bool EndsBareName(char c) {
        switch (c) {
            case ':':
            case ',':
            case '{':
            case '}':
            case '[':
            case ']':
            case '"':
            case '\'':
            case '/':
                return true;
            default:
                return IsSpace(c);
        }
    }

    // A member name that is not quoted: up to white space, ":" or a character that cannot be
    // part of a name. False when there is no name at all.
    bool ParseBareName(const char*& s, std::size_t& n) {
        char* const start = p_;
        char* w = p_;
        while (p_ < end_ && !EndsBareName(*p_)) {
            if (*p_ == '\\') {
                if (!Unescape(w))
                    return false;
            } else {
                *w++ = *p_++;
            }
        }
        if (w == start)
            return false;
        s = start;
        n = static_cast<std::size_t>(w - start);
        return true;
    }

    bool ParseNumber(JsonNode& out) {
        char* const begin = p_;
        char* q = p_;
        while (q < end_ &&
               (IsDigit(*q) || *q == '.' || *q == '-' || *q == '+' || *q == 'e' || *q == 'E'))
            ++q;
        p_ = q;

        // The number's form: [-] digits [. digits] [e [sign] digits], with at least one digit
        // before the exponent. The digits without the "." are gathered as one whole number.
        const char* i = begin;
        const bool negative = *i == '-';
        if (negative)
            ++i;
        std::uint64_t digits = 0;
        bool tooLarge = false;
        int integerDigits = 0;
        int fractionDigits = 0;
        auto gather = [&](int& count) {
            for (; i < q && IsDigit(*i); ++i, ++count) {
                const unsigned d = static_cast<unsigned>(*i - '0');
                if (digits > (std::numeric_limits<std::uint64_t>::max() - d) / 10) {
                    tooLarge = true;
                } else {
                    digits = digits * 10 + d;
                }
            }
        };
        gather(integerDigits);
        bool hasPoint = false;
        if (i < q && *i == '.') {
            hasPoint = true;
            ++i;
            gather(fractionDigits);
        }
        if (integerDigits + fractionDigits == 0)
            return false;
        bool hasExponent = false;
        if (i < q && (*i == 'e' || *i == 'E')) {
            hasExponent = true;
            ++i;
            if (i < q && (*i == '+' || *i == '-'))
                ++i;
            int exponentDigits = 0;
            while (i < q && IsDigit(*i))
                ++i, ++exponentDigits;
            if (exponentDigits == 0)
                return false;
        }
        if (i != q)
            return false;

        const std::uint64_t limit =
            static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) +
            (negative ? 1 : 0);
        if (!hasExponent && fractionDigits <= 4 && !tooLarge) {
            std::uint64_t magnitude = digits;
            bool fits = true;
            if (hasPoint) {
                for (int k = fractionDigits; k < 4 && fits; ++k) {
                    if (magnitude > limit / 10)
                        fits = false;
                    magnitude *= 10;
                }
            }
            if (fits && magnitude <= limit) {
                out.kind = hasPoint ? JsonKind::Decimal : JsonKind::Integer;
                out.integer = negative ? static_cast<std::int64_t>(0 - magnitude)
                                       : static_cast<std::int64_t>(magnitude);
                return true;
            }
        }
        // Numbers outside the 64-bit range are kept as floating values.
        out.kind = JsonKind::Floating;
        return ReadFloating(begin, q, integerDigits, hasExponent, out.floating);
    }

    static bool ReadFloating(const char* begin, const char* end, int integerDigits,
                             bool hasExponent, double& value) {
        const auto [ptr, ec] = std::from_chars(begin, end, value, std::chars_format::general);
        if (ec == std::errc() && ptr == end)
            return true;
        if (ec != std::errc::result_out_of_range)
            return false;
        // Too large or too small for a double: the decimal exponent of the first significant
        // digit tells which.
        const char* i = begin + (*begin == '-' ? 1 : 0);
        long position = integerDigits;
        for (; i < end && (IsDigit(*i) || *i == '.'); ++i) {
            if (*i == '.')
                continue;
            if (*i != '0')
                break;
            --position;
        }
        long exponent = 0;
        if (hasExponent) {
            const char* e = begin;
            while (*e != 'e' && *e != 'E')
                ++e;
            ++e;
            const bool minus = *e == '-';
            if (*e == '+' || *e == '-')
                ++e;
            for (; e < end; ++e) {
                if (exponent < 1000000)
                    exponent = exponent * 10 + (*e - '0');
            }
            if (minus)
                exponent = -exponent;
        }
        const double magnitude =
            position + exponent > 0 ? std::numeric_limits<double>::infinity() : 0.0;
        value = *begin == '-' ? -magnitude : magnitude;
        return true;
    }

    // Moves the children gathered on the stack since base into one run of the document.
    void CloseContainer(JsonNode& out, JsonKind kind, std::size_t base) {
        const std::size_t count = stack_.size() - base;
        JsonNode* children = nullptr;
        if (count > 0) {
            children = doc_.Allocate(count);
            std::memcpy(static_cast<void*>(children), stack_.data() + base,
                        count * sizeof(JsonNode));
            stack_.resize(base);
        }
        out.kind = kind;
        out.children = children;
        out.length = count;
    }

    bool ParseArray(JsonNode& out, int level) {
        ++p_;
        if (!SkipSpace() || p_ == end_)
            return false;
        const std::size_t base = stack_.size();
        if (*p_ != ']') {
            if (level >= kMaxLevel)
                return false;
            for (;;) {
                JsonNode element;
                if (!ParseValue(element, level + 1, Place::Element))
                    return false;
                element.name = nullptr;
                element.nameLength = 0;
                stack_.push_back(element);
                if (!SkipSpace() || p_ == end_)
                    return false;
                if (*p_ == ']')
                    break;
                if (*p_ != ',')
                    return false;
                ++p_;
                if (!SkipSpace() || p_ == end_)
                    return false;
            }
        }
        ++p_;
        CloseContainer(out, JsonKind::Array, base);
        return true;
    }

    bool ParseObject(JsonNode& out, int level) {
        ++p_;
        if (!SkipSpace() || p_ == end_)
            return false;
        const std::size_t base = stack_.size();
        if (*p_ != '}') {
            if (level >= kMaxLevel)
                return false;
            for (;;) {
                const char* name;
                std::size_t nameLength;
                if (*p_ == '"' || *p_ == '\'') {
                    if (!ParseString(*p_, name, nameLength))
                        return false;
                } else if (!ParseBareName(name, nameLength)) {
                    return false;
                }
                if (nameLength > std::numeric_limits<std::uint32_t>::max())
                    return false;
                if (!SkipSpace() || p_ == end_ || *p_ != ':')
                    return false;
                ++p_;
                if (!SkipSpace() || p_ == end_)
                    return false;
                JsonNode member;
                if (!ParseValue(member, level + 1, Place::MemberValue))
                    return false;
                member.name = name;
                member.nameLength = static_cast<std::uint32_t>(nameLength);
                stack_.push_back(member);
                if (!SkipSpace() || p_ == end_)
                    return false;
                if (*p_ == '}')
                    break;
                if (*p_ != ',')
                    return false;
                ++p_;
                if (!SkipSpace() || p_ == end_)
                    return false;
            }
        }
        ++p_;
        CloseContainer(out, JsonKind::Object, base);
        return true;
    }

    Document& doc_;
    char* p_;
    char* const end_;
    std::vector<JsonNode>& stack_;
};

// ---- Text of values ----

void AppendQuoted(const char* s, std::size_t n, std::string& out) {
    out += '"';
    const char* const end = s + n;
    const char* run = s;
    for (const char* i = s; i < end; ++i) {
        const char* escape;
        switch (*i) {
            case '"':
                escape = "\\\"";
                break;
            case '\\':
                escape = "\\\\";
                break;
            case '/':
                escape = "\\/";
                break;
            case '\0':
                escape = "\\u0000";
                break;
            default:
                continue;
        }
        out.append(run, i);
        out += escape;
        run = i + 1;
    }
    out.append(run, end);
    out += '"';
}

void AppendInteger(std::int64_t value, std::string& out) {
    char buffer[24];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(buffer, result.ptr);
}

// Ten-thousandths as integer part, "." and the fraction without its trailing zeros; a whole
// number keeps the "." at its end.
void AppendDecimal(std::int64_t value, std::string& out) {
    if (value == 0) {
        out += '0';
        return;
    }
    const std::uint64_t magnitude =
        value < 0 ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
    char buffer[32];
    char* digits = buffer + 8;
    char* end = std::to_chars(digits, buffer + sizeof buffer, magnitude).ptr;
    while (end - digits < 5)
        *--digits = '0';
    if (value < 0)
        out += '-';
    char* point = end - 4;
    out.append(digits, point);
    out += '.';
    while (end > point && end[-1] == '0')
        --end;
    out.append(point, end);
}

// Fifteen significant digits in the shortest of positional and scientific form, as printf's
// %.15g writes them but always with a "." whatever the locale.
void AppendFloating(double value, std::string& out) {
    if (std::isinf(value)) {
        // Written so that it reads back as the same value.
        out += value < 0 ? "-1e+999" : "1e+999";
        return;
    }
    if (std::isnan(value) || value == 0.0) {
        out += '0';
        return;
    }
    char buffer[40];
    const auto result =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, 15);
    out.append(buffer, result.ptr);
}

void AppendJson(const JsonNode& node, std::string& out) {
    switch (node.kind) {
        case JsonKind::Text:
            AppendQuoted(node.text, node.length, out);
            break;
        case JsonKind::Integer:
            AppendInteger(node.integer, out);
            break;
        case JsonKind::Decimal:
            AppendDecimal(node.integer, out);
            break;
        case JsonKind::Floating:
            AppendFloating(node.floating, out);
            break;
        case JsonKind::Boolean:
            out += node.boolean ? "true" : "false";
            break;
        case JsonKind::Null:
            out += "null";
            break;
        case JsonKind::Array:
            out += '[';
            for (std::size_t i = 0; i < node.length; ++i) {
                if (i > 0)
                    out += ',';
                AppendJson(node.children[i], out);
            }
            out += ']';
            break;
        case JsonKind::Object:
            out += '{';
            for (std::size_t i = 0; i < node.length; ++i) {
                if (i > 0)
                    out += ',';
                AppendQuoted(node.children[i].name, node.children[i].nameLength, out);
                out += ':';
                AppendJson(node.children[i], out);
            }
            out += '}';
            break;
    }
}

std::string TextOf(const JsonNode& node) {
    if (node.kind == JsonKind::Text)
        return std::string(node.text, node.length);
    std::string out;
    AppendJson(node, out);
    return out;
}

// Duplicate names: the first member of the name counts.
const JsonNode* FindMember(const JsonNode& node, std::string_view name) {
    if (node.kind != JsonKind::Object)
        return nullptr;
    for (std::size_t i = 0; i < node.length; ++i) {
        const JsonNode& member = node.children[i];
        if (member.nameLength == name.size() &&
            (name.empty() || std::memcmp(member.name, name.data(), name.size()) == 0))
            return &member;
    }
    return nullptr;
}

}  // namespace

struct JsonAccess {
    static const JsonNode& Node(const JsonValue& value, const char* operation) {
        if (value.node_ == nullptr) {
            throw JsonAccessError(std::string("No JSON value to ") + operation);
        }
        return *value.node_;
    }

    static JsonValue Share(const JsonValue& owner, const JsonNode* node) {
        return JsonValue(std::shared_ptr<const JsonNode>(owner.node_, node));
    }

    static JsonValue Make(std::shared_ptr<const JsonNode> node) {
        return JsonValue(std::move(node));
    }
};

JsonKind JsonValue::Kind() const {
    return JsonAccess::Node(*this, "tell the kind of").kind;
}

JsonValue JsonValue::Member(std::string_view name) const {
    const JsonNode& node = JsonAccess::Node(*this, "read a member from");
    const JsonNode* member = FindMember(node, name);
    return member != nullptr ? JsonAccess::Share(*this, member) : JsonValue();
}

std::string JsonValue::MemberText(std::string_view name) const {
    const JsonNode& node = JsonAccess::Node(*this, "read a member from");
    const JsonNode* member = FindMember(node, name);
    return member != nullptr ? TextOf(*member) : std::string();
}

std::string JsonValue::Text() const {
    return TextOf(JsonAccess::Node(*this, "take the text of"));
}

JsonValue JsonValue::AsArray() const {
    const JsonNode& node = JsonAccess::Node(*this, "take as an array");
    return node.kind == JsonKind::Array ? *this : JsonValue();
}

std::size_t JsonValue::Length() const {
    const JsonNode& node = JsonAccess::Node(*this, "count the elements of");
    return node.kind == JsonKind::Array || node.kind == JsonKind::Object ? node.length : 0;
}

JsonValue JsonValue::Element(std::size_t index) const {
    const JsonNode& node = JsonAccess::Node(*this, "take an element from");
    if (node.kind != JsonKind::Array || index >= node.length)
        return JsonValue();
    return JsonAccess::Share(*this, &node.children[index]);
}

std::int64_t JsonValue::IntegerValue() const {
    const JsonNode& node = JsonAccess::Node(*this, "read an integer from");
    if (node.kind != JsonKind::Integer)
        throw JsonAccessError("The JSON value is not an integer");
    return node.integer;
}

std::int64_t JsonValue::DecimalTenThousandths() const {
    const JsonNode& node = JsonAccess::Node(*this, "read a decimal from");
    if (node.kind != JsonKind::Decimal)
        throw JsonAccessError("The JSON value is not a decimal");
    return node.integer;
}

double JsonValue::FloatingValue() const {
    const JsonNode& node = JsonAccess::Node(*this, "read a floating value from");
    if (node.kind != JsonKind::Floating) {
        throw JsonAccessError("The JSON value is not a floating value");
    }
    return node.floating;
}

JsonValue Parse(std::string_view text) noexcept {
    if (const void* nul = std::memchr(text.data(), '\0', text.size())) {
        text =
            text.substr(0, static_cast<std::size_t>(static_cast<const char*>(nul) - text.data()));
    }
    // The children of the containers still open; kept per thread so that a parse does not
    // grow it anew.
    thread_local std::vector<JsonNode> stack;
    try {
        auto doc = std::make_shared<Document>(text.size());
        char* begin = doc->Text();
        if (!text.empty())
            std::memcpy(begin, text.data(), text.size());
        stack.clear();
        Parser parser(*doc, begin, begin + text.size(), stack);
        const bool ok = parser.ParseRoot(doc->Root());
        if (stack.capacity() > 65536)
            std::vector<JsonNode>().swap(stack);
        if (!ok)
            return JsonValue();
        JsonNode* root = &doc->Root();
        root->name = nullptr;
        root->nameLength = 0;
        return JsonAccess::Make(std::shared_ptr<const JsonNode>(std::move(doc), root));
    } catch (...) {
        // Out of memory: a text too large to hold counts as broken.
        stack.clear();
        return JsonValue();
    }
}

}  // namespace korvalot::json
