// The JSON reader on arbitrary bytes: parse must not crash, every value must be readable, the
// JSON text of an object or array must read back as the same text, and valid UTF-8 in gives
// valid UTF-8 out.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "json/JsonValue.h"

namespace {

using korvalot::json::JsonKind;
using korvalot::json::JsonValue;
using korvalot::json::Parse;

bool IsValidUtf8(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        const auto b0 = static_cast<unsigned char>(s[i]);
        int extra;
        std::uint32_t cp;
        if (b0 < 0x80) {
            extra = 0, cp = b0;
        } else if ((b0 & 0xE0) == 0xC0) {
            extra = 1, cp = b0 & 0x1F;
        } else if ((b0 & 0xF0) == 0xE0) {
            extra = 2, cp = b0 & 0x0F;
        } else if ((b0 & 0xF8) == 0xF0) {
            extra = 3, cp = b0 & 0x07;
        } else {
            return false;
        }
        if (i + static_cast<std::size_t>(extra) >= s.size() && extra > 0) return false;
        for (int k = 1; k <= extra; ++k) {
            const auto b = static_cast<unsigned char>(s[i + k]);
            if ((b & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (b & 0x3F);
        }
        static const std::uint32_t kMinimum[] = {0, 0x80, 0x800, 0x10000};
        if (cp < kMinimum[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += static_cast<std::size_t>(extra) + 1;
    }
    return true;
}

[[noreturn]] void Fail(const char* what, const std::string& text) {
    std::fprintf(stderr, "%s: %zu bytes\n%.*s\n", what, text.size(), static_cast<int>(text.size()),
                 text.data());
    std::abort();
}

// Reads every value the way the callers do, within a budget of values.
void Walk(const JsonValue& value, bool utf8In, int& budget) {
    if (--budget < 0) return;
    const std::string text = value.Text();
    if (utf8In && !IsValidUtf8(text)) Fail("text is not valid UTF-8", text);
    (void)value.MemberText("guid");
    (void)value.AsArray();
    const JsonKind kind = value.Kind();
    if (kind == JsonKind::Integer) (void)value.IntegerValue();
    if (kind == JsonKind::Decimal) (void)value.DecimalTenThousandths();
    if (kind == JsonKind::Floating) (void)value.FloatingValue();
    const std::size_t length = value.Length();
    if (kind == JsonKind::Array) {
        if (!value.Element(length).IsNothing()) Fail("element past the end", text);
        for (std::size_t i = 0; i < length; ++i) Walk(value.Element(i), utf8In, budget);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const JsonValue value = Parse(input);
    if (value.IsNothing()) return 0;
    int budget = 2000;
    Walk(value, IsValidUtf8(input), budget);

    const JsonKind kind = value.Kind();
    if (kind == JsonKind::Object || kind == JsonKind::Array) {
        const std::string text = value.Text();
        const JsonValue again = Parse(text);
        if (again.IsNothing()) Fail("JSON text does not parse", text);
        if (again.Text() != text) Fail("JSON text does not read back as itself", text);
    }
    return 0;
}
