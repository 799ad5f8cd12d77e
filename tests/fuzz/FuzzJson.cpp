// The JSON reader on arbitrary bytes: parse must not crash, every value must be readable, the
// JSON text of an object or array must read back as the same text, and valid UTF-8 in gives
// valid UTF-8 out.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "json/JsonValue.h"
#include "support/Utf8Check.h"

namespace {

using korvalot::json::JsonKind;
using korvalot::json::JsonValue;
using korvalot::json::Parse;
using korvalot::testing::IsValidUtf8;

[[noreturn]] void Fail(const char* what, const std::string& text) {
    std::fprintf(stderr, "%s: %zu bytes\n%.*s\n", what, text.size(), static_cast<int>(text.size()),
                 text.data());
    std::abort();
}

// Reads every value the way the callers do, within a budget of values.
void Walk(const JsonValue& value, bool utf8In, int& budget) {
    if (--budget < 0)
        return;
    const std::string text = value.Text();
    if (utf8In && !IsValidUtf8(text))
        Fail("text is not valid UTF-8", text);
    (void)value.MemberText("guid");
    (void)value.AsArray();
    const JsonKind kind = value.Kind();
    if (kind == JsonKind::Integer)
        (void)value.IntegerValue();
    if (kind == JsonKind::Decimal)
        (void)value.DecimalTenThousandths();
    if (kind == JsonKind::Floating)
        (void)value.FloatingValue();
    const std::size_t length = value.Length();
    if (kind == JsonKind::Array) {
        if (!value.Element(length).IsNothing())
            Fail("element past the end", text);
        for (std::size_t i = 0; i < length; ++i)
            Walk(value.Element(i), utf8In, budget);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const JsonValue value = Parse(input);
    if (value.IsNothing())
        return 0;
    int budget = 2000;
    Walk(value, IsValidUtf8(input), budget);

    const JsonKind kind = value.Kind();
    if (kind == JsonKind::Object || kind == JsonKind::Array) {
        const std::string text = value.Text();
        const JsonValue again = Parse(text);
        if (again.IsNothing())
            Fail("JSON text does not parse", text);
        if (again.Text() != text)
            Fail("JSON text does not read back as itself", text);
    }
    return 0;
}
