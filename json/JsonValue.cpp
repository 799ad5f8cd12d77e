#include "json/JsonValue.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <deque>
#include <limits>
#include <new>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "util/uLib.h"

namespace korvalot::json {
namespace {

// One value of a parsed document in 32 bits: its tag in the low four bits, above them an
// integer small enough to hold there, or the index of its record (numbers that need more bits,
// texts) or of its container. Index 0 stands for the empty text and the empty container, which
// need nothing more. Four bytes a value keep a document within a small multiple of its text
// whatever its shape (a body of bare commas is a value per byte).
using Slot = std::uint32_t;

enum Tag : std::uint32_t {
    kNull,
    kFalse,
    kTrue,
    kSmallInteger,
    kInteger,
    kSmallDecimal,
    kDecimal,
    kFloating,
    kText,
    kArray,
    kObject
};

constexpr int kTagBits = 4;
constexpr std::uint32_t kMaxIndex = (std::uint32_t{1} << (32 - kTagBits)) - 1;
constexpr std::size_t kMaxSlots = std::numeric_limits<std::uint32_t>::max();
constexpr std::int64_t kSmallMax = (std::int64_t{1} << (31 - kTagBits)) - 1;
constexpr std::int64_t kSmallMin = -(std::int64_t{1} << (31 - kTagBits));

Tag TagOf(Slot slot) {
    return static_cast<Tag>(slot & ((1u << kTagBits) - 1));
}
std::uint32_t IndexOf(Slot slot) {
    return slot >> kTagBits;
}
std::int64_t SmallOf(Slot slot) {
    return static_cast<std::int32_t>(slot) >> kTagBits;
}
Slot MakeSlot(Tag tag, std::uint32_t index) {
    return index << kTagBits | tag;
}
Slot MakeSmall(Tag tag, std::int64_t value) {
    return static_cast<std::uint32_t>(static_cast<std::int32_t>(value)) << kTagBits | tag;
}

// What a slot's index points at.
union Record {
    std::int64_t integer;  // Integer; Decimal in ten-thousandths
    double floating;
    struct {
        std::uint32_t offset;  // into the document's text
        std::uint32_t length;
    } text;
};

// The children of an array (its elements) or an object (name and value, one after the other)
// lie in one run of the document's slots.
struct Container {
    std::uint32_t first;
    std::uint32_t count;  // elements or members
};

}  // namespace

// A parsed text and every value made from it; a value handed out keeps all of it alive. Texts
// and names point into the document's own copy of the text (decoded in place).
class JsonDocument {
public:
    std::string_view TextOf(Slot slot) const {
        const std::uint32_t index = IndexOf(slot);
        if (index == 0)
            return {};
        return {text.get() + records[index].text.offset, records[index].text.length};
    }
    const Record& RecordOf(Slot slot) const { return records[IndexOf(slot)]; }
    // Empty for index 0.
    Container ContainerOf(Slot slot) const {
        const std::uint32_t index = IndexOf(slot);
        if (index == 0)
            return {0, 0};
        const std::uint32_t first = firsts[index];
        const std::uint32_t width = firsts[index + 1] - first;
        return {first, TagOf(slot) == kObject ? width / 2 : width};
    }

    std::unique_ptr<char[]> text;
    std::vector<Record> records;
    std::vector<Slot> slots;
    // The runs of the containers' children follow one another in the order the containers
    // open, so where each begins (and, by the next one, how long it is) takes four bytes.
    // Indexed by container from 1, with the end of the last run after it.
    std::vector<std::uint32_t> firsts;
    Slot root = 0;
};

namespace {

// A container at this level may be empty but may hold no value.
constexpr int kMaxLevel = 32;

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

// How many of each a document needs; the first pass finds them out.
struct Sizes {
    std::uint32_t records = 1;  // record 0 is never used
    std::size_t slots = 0;
};

// The first pass's count of children's slots for each container, as they open. A deque grows
// without copying, so counting never holds more than the counts themselves.
using Widths = std::deque<std::uint32_t>;

// Recursive descent over the document's own copy of the text. A text is read in one pass
// (Direct) that gathers the children of the open containers on a stack and moves them into the
// document as each container closes, within a budget of memory. A text whose shape would take
// more (many values in few bytes) is read again in two passes over the same code: the first
// (Count) writes nothing, it checks the text and counts the records, the slots and the children
// of every container, so that the second (Fill) fills storage of exactly the right size, in
// place, with no growing and no copying. Strings are decoded in place by the passes that build;
// the first moves its write position along without writing, so all agree on every length.
// Recursion is bounded by kMaxLevel.
enum class Pass { Direct, Count, Fill };

template <Pass P>
class Parser {
    static constexpr bool Build = P != Pass::Count;

public:
    Parser(JsonDocument& doc, char* begin, char* end, Widths* widths, Sizes sizes = {},
           std::size_t budget = 0)
        : doc_(doc),
          base_(begin),
          p_(begin),
          end_(end),
          widths_(widths),
          capacity_(sizes),
          budget_(budget) {}

    bool ParseRoot(Slot& out) {
        if (!SkipSpace())
            return false;
        if (p_ == end_) {
            out = MakeSlot(kText, 0);
            return true;
        }
        return ParseValue(out, 1, Place::TopLevel);
    }

    Sizes Needed() const { return used_; }
    // Direct: the text needs the two passes.
    bool OverBudget() const { return overBudget_; }

private:
    // A slot with a record of its own; r is where its content goes (in the first pass a
    // scratch record).
    [[gnu::always_inline]] bool NewRecord(Slot& out, Tag tag, Record*& r) {
        const std::uint32_t index = used_.records;
        if constexpr (P == Pass::Direct) {
            std::vector<Record>& records = doc_.records;
            if ((records.size() == records.capacity() && !Room(records)) || index > kMaxIndex)
                return false;
            r = &records.emplace_back();
        } else if constexpr (Build) {
            if (index >= capacity_.records)
                return false;
            r = &doc_.records[index];
        } else {
            if (index > kMaxIndex)
                return false;
            r = &scratch_;
        }
        ++used_.records;
        out = MakeSlot(tag, index);
        return true;
    }

    // A text of n characters at s; one with no characters needs no record.
    bool SetText(Slot& out, const char* s, std::size_t n) {
        if (n == 0) {
            out = MakeSlot(kText, 0);
            return true;
        }
        Record* r;
        if (!NewRecord(out, kText, r))
            return false;
        r->text.offset = static_cast<std::uint32_t>(s - base_);
        r->text.length = static_cast<std::uint32_t>(n);
        return true;
    }

    // Room for more in v, within the budget; the old storage counts while it is copied.
    template <typename T>
    [[gnu::noinline]] bool Room(std::vector<T>& v, std::size_t more = 1) {
        if (v.capacity() - v.size() >= more)
            return true;
        std::size_t wanted = std::max<std::size_t>(2 * v.capacity(), 64);
        wanted = std::max(wanted, v.size() + more);
        if (held_ + wanted * sizeof(T) > budget_) {
            overBudget_ = true;
            return false;
        }
        held_ += (wanted - v.capacity()) * sizeof(T);
        v.reserve(wanted);
        return true;
    }

    static void Put(char*& w, char c) {
        if constexpr (Build)
            *w = c;
        ++w;
    }

    static void PutUtf8(char*& w, std::uint32_t cp) {
        char bytes[4];
        const std::size_t n = util::EncodeUtf8(static_cast<char32_t>(cp), bytes);
        for (std::size_t i = 0; i < n; ++i)
            Put(w, bytes[i]);
    }

    // The bytes from p_ up to f move to w.
    void MoveTo(char*& w, char* f) {
        if constexpr (Build) {
            if (w != p_)
                std::memmove(w, p_, static_cast<std::size_t>(f - p_));
        }
        w += f - p_;
        p_ = f;
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

    bool ParseValue(Slot& out, int level, Place place) {
        switch (*p_) {
            case '"':
            case '\'': {
                const char* s;
                std::size_t n;
                if (!ParseString(*p_, s, n))
                    return false;
                return SetText(out, s, n);
            }
            case '[':
                return ParseContainer(out, level, ']');
            case '{':
                return ParseContainer(out, level, '}');
            case 't':
                if (MatchLiteral("true")) {
                    out = MakeSlot(kTrue, 0);
                    return true;
                }
                return ParseBareWord(out, place);
            case 'f':
                if (MatchLiteral("false")) {
                    out = MakeSlot(kFalse, 0);
                    return true;
                }
                return ParseBareWord(out, place);
            case 'n':
                if (MatchLiteral("null")) {
                    out = MakeSlot(kNull, 0);
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
                Put(w, '\b');
                return true;
            case 'f':
                Put(w, '\f');
                return true;
            case 'n':
                Put(w, '\n');
                return true;
            case 'r':
                Put(w, '\r');
                return true;
            case 't':
                Put(w, '\t');
                return true;
            case 'x': {
                if (end_ - p_ < 2)
                    return false;
                const long unit = ReadHex(p_, 2);
                if (unit < 0)
                    return false;
                p_ += 2;
                PutUtf8(w, static_cast<std::uint32_t>(unit));
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
                PutUtf8(w, cp);
                return true;
            }
            default:
                // The character itself; the rest of a multi-byte character follows unchanged.
                Put(w, c);
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
            MoveTo(w, f);
            if (*f == quote)
                break;
        }
        s = start;
        n = static_cast<std::size_t>(w - start);
        ++p_;
        return true;
    }

    // A bare word: to the end of the text at the top level, else up to the "," or closing
    // bracket of its container, escapes decoded, trailing blanks and line ends removed. Whether
    // it gets a record depends on its raw length alone, which both passes see alike (the first
    // cannot look at decoded characters to trim them).
    bool ParseBareWord(Slot& out, Place place) {
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
            MoveTo(w, f);
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
        if (p_ == start) {
            out = MakeSlot(kText, 0);
            return true;
        }
        if constexpr (Build) {
            while (w > start && (w[-1] == ' ' || w[-1] == '\r' || w[-1] == '\n'))
                --w;
        }
        Record* r;
        if (!NewRecord(out, kText, r))
            return false;
        r->text.offset = static_cast<std::uint32_t>(start - base_);
        r->text.length = static_cast<std::uint32_t>(w - start);
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
                Put(w, *p_++);
            }
        }
        if (w == start)
            return false;
        s = start;
        n = static_cast<std::size_t>(w - start);
        return true;
    }

    // An integer or decimal: in the slot when it is small enough, else in a record.
    bool SetWhole(Slot& out, Tag small, Tag large, std::int64_t value) {
        if (value >= kSmallMin && value <= kSmallMax) {
            out = MakeSmall(small, value);
            return true;
        }
        Record* r;
        if (!NewRecord(out, large, r))
            return false;
        r->integer = value;
        return true;
    }

    bool ParseNumber(Slot& out) {
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
                const auto value = negative ? static_cast<std::int64_t>(0 - magnitude)
                                            : static_cast<std::int64_t>(magnitude);
                return hasPoint ? SetWhole(out, kSmallDecimal, kDecimal, value)
                                : SetWhole(out, kSmallInteger, kInteger, value);
            }
        }
        // Numbers outside the 64-bit range are kept as floating values.
        Record* r;
        if (!NewRecord(out, kFloating, r))
            return false;
        return ReadFloating(begin, q, integerDigits, hasExponent, r->floating);
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

    // An array (close "]") or an object (close "}"). Its children's run is taken when it
    // opens, so that its own children fill it while theirs go further on.
    bool ParseContainer(Slot& out, int level, char close) {
        const bool isObject = close == '}';
        const Tag tag = isObject ? kObject : kArray;
        ++p_;
        if (!SkipSpace() || p_ == end_)
            return false;
        if (*p_ == close) {
            ++p_;
            out = MakeSlot(tag, 0);
            return true;
        }
        if (level >= kMaxLevel)
            return false;
        std::uint32_t index = 0;
        std::uint32_t first = 0;
        std::uint32_t expected = 0;
        const std::size_t base = stack_.size();
        if constexpr (P == Pass::Fill) {
            index = nextContainer_++;
            if (index + 1 >= doc_.firsts.size())
                return false;
            first = doc_.firsts[index];
            const std::uint32_t width = doc_.firsts[index + 1] - first;
            if (first != used_.slots || capacity_.slots - used_.slots < width)
                return false;
            used_.slots += width;
            expected = isObject ? width / 2 : width;
        } else if constexpr (P == Pass::Count) {
            index = nextContainer_++;
            if (index > kMaxIndex)
                return false;
            widths_->push_back(0);
        }
        std::uint32_t count = 0;
        for (;;) {
            Slot name = 0;
            if (isObject) {
                const char* s;
                std::size_t n;
                if (*p_ == '"' || *p_ == '\'') {
                    if (!ParseString(*p_, s, n))
                        return false;
                } else if (!ParseBareName(s, n)) {
                    return false;
                }
                if (!SetText(name, s, n))
                    return false;
                if (!SkipSpace() || p_ == end_ || *p_ != ':')
                    return false;
                ++p_;
                if (!SkipSpace() || p_ == end_)
                    return false;
            }
            Slot value;
            if (!ParseValue(value, level + 1, isObject ? Place::MemberValue : Place::Element))
                return false;
            if constexpr (P == Pass::Direct) {
                if (stack_.capacity() - stack_.size() < 2 && !Room(stack_, 2))
                    return false;
                if (isObject)
                    stack_.push_back(name);
                stack_.push_back(value);
            } else if constexpr (P == Pass::Fill) {
                if (count >= expected)
                    return false;
                if (isObject) {
                    doc_.slots[first + 2 * count] = name;
                    doc_.slots[first + 2 * count + 1] = value;
                } else {
                    doc_.slots[first + count] = value;
                }
            }
            if (count == std::numeric_limits<std::uint32_t>::max())
                return false;
            ++count;
            if (!SkipSpace() || p_ == end_)
                return false;
            if (*p_ == close)
                break;
            if (*p_ != ',')
                return false;
            ++p_;
            if (!SkipSpace() || p_ == end_)
                return false;
        }
        ++p_;
        if constexpr (P == Pass::Direct) {
            // Numbered as they close, so that their runs follow one another in that order.
            const std::size_t width = stack_.size() - base;
            index = static_cast<std::uint32_t>(doc_.firsts.size() - 1);
            if (index > kMaxIndex || doc_.slots.size() + width > kMaxSlots)
                return false;
            if (!Room(doc_.slots, width))
                return false;
            doc_.slots.insert(doc_.slots.end(), stack_.begin() + static_cast<std::ptrdiff_t>(base),
                              stack_.end());
            stack_.resize(base);
            if (!Room(doc_.firsts))
                return false;
            doc_.firsts.push_back(static_cast<std::uint32_t>(doc_.slots.size()));
        } else if constexpr (P == Pass::Fill) {
            if (count != expected)
                return false;
        } else {
            const std::size_t width = std::size_t{count} * (isObject ? 2 : 1);
            if (width > std::numeric_limits<std::uint32_t>::max())
                return false;
            (*widths_)[index] = static_cast<std::uint32_t>(width);
            used_.slots += width;
        }
        out = MakeSlot(tag, index);
        return true;
    }

    JsonDocument& doc_;
    char* const base_;
    char* p_;
    char* const end_;
    Widths* const widths_;  // Count only
    const Sizes capacity_;  // Fill: what Count found
    // Direct: the children of the open containers, and what the document's storage and the
    // stack hold against the budget.
    std::vector<Slot> stack_;
    const std::size_t budget_;
    std::size_t held_ = 0;
    bool overBudget_ = false;  // Direct: the text needs the two passes
    Sizes used_;
    std::uint32_t nextContainer_ = 1;  // containers in the order they open; 0 is never used
    Record scratch_{};
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

JsonKind KindOf(Slot slot) {
    switch (TagOf(slot)) {
        case kNull:
            return JsonKind::Null;
        case kFalse:
        case kTrue:
            return JsonKind::Boolean;
        case kSmallInteger:
        case kInteger:
            return JsonKind::Integer;
        case kSmallDecimal:
        case kDecimal:
            return JsonKind::Decimal;
        case kFloating:
            return JsonKind::Floating;
        case kText:
            return JsonKind::Text;
        case kArray:
            return JsonKind::Array;
        case kObject:
            break;
    }
    return JsonKind::Object;
}

std::int64_t WholeOf(const JsonDocument& doc, Slot slot) {
    const Tag tag = TagOf(slot);
    return tag == kSmallInteger || tag == kSmallDecimal ? SmallOf(slot)
                                                        : doc.RecordOf(slot).integer;
}

void AppendJson(const JsonDocument& doc, Slot slot, std::string& out) {
    switch (TagOf(slot)) {
        case kText: {
            const std::string_view text = doc.TextOf(slot);
            AppendQuoted(text.data(), text.size(), out);
            break;
        }
        case kSmallInteger:
        case kInteger:
            AppendInteger(WholeOf(doc, slot), out);
            break;
        case kSmallDecimal:
        case kDecimal:
            AppendDecimal(WholeOf(doc, slot), out);
            break;
        case kFloating:
            AppendFloating(doc.RecordOf(slot).floating, out);
            break;
        case kFalse:
            out += "false";
            break;
        case kTrue:
            out += "true";
            break;
        case kNull:
            out += "null";
            break;
        case kArray: {
            const Container c = doc.ContainerOf(slot);
            out += '[';
            for (std::uint32_t i = 0; i < c.count; ++i) {
                if (i > 0)
                    out += ',';
                AppendJson(doc, doc.slots[c.first + i], out);
            }
            out += ']';
            break;
        }
        case kObject: {
            const Container c = doc.ContainerOf(slot);
            out += '{';
            for (std::uint32_t i = 0; i < c.count; ++i) {
                if (i > 0)
                    out += ',';
                const std::string_view name = doc.TextOf(doc.slots[c.first + 2 * i]);
                AppendQuoted(name.data(), name.size(), out);
                out += ':';
                AppendJson(doc, doc.slots[c.first + 2 * i + 1], out);
            }
            out += '}';
            break;
        }
    }
}

std::string TextOf(const JsonDocument& doc, Slot slot) {
    if (TagOf(slot) == kText)
        return std::string(doc.TextOf(slot));
    std::string out;
    AppendJson(doc, slot, out);
    return out;
}

// Duplicate names: the first member of the name counts.
const Slot* FindMember(const JsonDocument& doc, Slot slot, std::string_view name) {
    if (TagOf(slot) != kObject)
        return nullptr;
    const Container c = doc.ContainerOf(slot);
    for (std::uint32_t i = 0; i < c.count; ++i) {
        const Slot* member = &doc.slots[c.first + 2 * i];
        if (doc.TextOf(member[0]) == name)
            return member + 1;
    }
    return nullptr;
}

}  // namespace

struct JsonAccess {
    static const JsonDocument& Doc(const JsonValue& value, const char* operation) {
        if (value.doc_ == nullptr) {
            throw JsonAccessError(std::string("No JSON value to ") + operation);
        }
        return *value.doc_;
    }

    static JsonValue Share(const JsonValue& owner, Slot slot) {
        return JsonValue(owner.doc_, slot);
    }

    static JsonValue Make(std::shared_ptr<const JsonDocument> doc, Slot slot) {
        return JsonValue(std::move(doc), slot);
    }
};

JsonKind JsonValue::Kind() const {
    JsonAccess::Doc(*this, "tell the kind of");
    return KindOf(slot_);
}

JsonValue JsonValue::Member(std::string_view name) const {
    const JsonDocument& doc = JsonAccess::Doc(*this, "read a member from");
    const Slot* member = FindMember(doc, slot_, name);
    return member != nullptr ? JsonAccess::Share(*this, *member) : JsonValue();
}

std::string JsonValue::MemberText(std::string_view name) const {
    const JsonDocument& doc = JsonAccess::Doc(*this, "read a member from");
    const Slot* member = FindMember(doc, slot_, name);
    return member != nullptr ? TextOf(doc, *member) : std::string();
}

std::string JsonValue::Text() const {
    return TextOf(JsonAccess::Doc(*this, "take the text of"), slot_);
}

JsonValue JsonValue::AsArray() const {
    JsonAccess::Doc(*this, "take as an array");
    return TagOf(slot_) == kArray ? *this : JsonValue();
}

std::size_t JsonValue::Length() const {
    const JsonDocument& doc = JsonAccess::Doc(*this, "count the elements of");
    const Tag tag = TagOf(slot_);
    return tag == kArray || tag == kObject ? doc.ContainerOf(slot_).count : 0;
}

JsonValue JsonValue::Element(std::size_t index) const {
    const JsonDocument& doc = JsonAccess::Doc(*this, "take an element from");
    if (TagOf(slot_) != kArray)
        return JsonValue();
    const Container c = doc.ContainerOf(slot_);
    if (index >= c.count)
        return JsonValue();
    return JsonAccess::Share(*this, doc.slots[c.first + index]);
}

std::int64_t JsonValue::IntegerValue() const {
    const JsonDocument& doc = JsonAccess::Doc(*this, "read an integer from");
    if (KindOf(slot_) != JsonKind::Integer)
        throw JsonAccessError("The JSON value is not an integer");
    return WholeOf(doc, slot_);
}

std::int64_t JsonValue::DecimalTenThousandths() const {
    const JsonDocument& doc = JsonAccess::Doc(*this, "read a decimal from");
    if (KindOf(slot_) != JsonKind::Decimal)
        throw JsonAccessError("The JSON value is not a decimal");
    return WholeOf(doc, slot_);
}

double JsonValue::FloatingValue() const {
    const JsonDocument& doc = JsonAccess::Doc(*this, "read a floating value from");
    if (KindOf(slot_) != JsonKind::Floating) {
        throw JsonAccessError("The JSON value is not a floating value");
    }
    return doc.RecordOf(slot_).floating;
}

JsonValue Parse(std::string_view text) noexcept {
    if (const void* nul = std::memchr(text.data(), '\0', text.size())) {
        text =
            text.substr(0, static_cast<std::size_t>(static_cast<const char*>(nul) - text.data()));
    }
    // Texts are placed by 32-bit offsets.
    if (text.size() >= std::numeric_limits<std::uint32_t>::max())
        return JsonValue();
    try {
        auto doc = std::make_shared<JsonDocument>();
        doc->text = std::make_unique_for_overwrite<char[]>(text.size() + 1);
        char* begin = doc->text.get();
        char* end = begin + text.size();
        if (!text.empty())
            std::memcpy(begin, text.data(), text.size());

        // The text's own copy included, a parse stays below eight times the text.
        const std::size_t budget = 6 * text.size() + 4096;
        bool overBudget = false;
        {
            doc->records.emplace_back();  // record 0 is never used
            doc->firsts = {0, 0};         // container 0 is never used; container 1 starts at 0
            Parser<Pass::Direct> direct(*doc, begin, end, nullptr, {}, budget);
            if (direct.ParseRoot(doc->root)) {
                const Slot root = doc->root;
                return JsonAccess::Make(std::move(doc), root);
            }
            overBudget = direct.OverBudget();
        }
        if (!overBudget)
            return JsonValue();
        // The first attempt decoded strings in place and took up the budget: start afresh.
        std::vector<Record>().swap(doc->records);
        std::vector<Slot>().swap(doc->slots);
        std::vector<std::uint32_t>().swap(doc->firsts);
        std::memcpy(begin, text.data(), text.size());

        Sizes sizes;
        {
            Widths widths{0};  // container 0 is never used
            Parser<Pass::Count> counter(*doc, begin, end, &widths);
            Slot root;
            if (!counter.ParseRoot(root))
                return JsonValue();
            sizes = counter.Needed();
            // Every slot is placed by a 32-bit index.
            if (sizes.slots > kMaxSlots)
                return JsonValue();
            doc->firsts.resize(widths.size() + 1);
            std::uint32_t first = 0;
            std::size_t i = 0;
            for (const std::uint32_t width : widths) {
                doc->firsts[i++] = first;
                first += width;
            }
            doc->firsts[i] = first;
        }
        doc->records.resize(sizes.records);
        doc->slots.resize(sizes.slots);
        Parser<Pass::Fill> filler(*doc, begin, end, nullptr, sizes);
        if (!filler.ParseRoot(doc->root))
            return JsonValue();
        const Slot root = doc->root;
        return JsonAccess::Make(std::move(doc), root);
    } catch (...) {
        // Out of memory: a text too large to hold counts as broken.
        return JsonValue();
    }
}

}  // namespace korvalot::json
