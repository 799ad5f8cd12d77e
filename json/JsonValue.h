#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

// The lenient reader through which every register answer is read.
namespace korvalot::json {

/// Raised by every accessor of a JsonValue that holds nothing (see JsonValue::IsNothing).
/// A caller that must not fail tests IsNothing() first.
class JsonAccessError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum class JsonKind { Object, Array, Text, Integer, Decimal, Floating, Boolean, Null };

class JsonDocument;

/// A value of a parsed document, or nothing. Copies are cheap and share the value; a value
/// stays valid for as long as any copy of it is held, whether or not the document is.
class JsonValue {
public:
    /// Nothing.
    JsonValue() = default;

    /// True for nothing: a failed parse, a missing member, an element past the end, as-array of
    /// a value that is not an array. Never raises.
    bool IsNothing() const noexcept { return doc_ == nullptr; }
    explicit operator bool() const noexcept { return doc_ != nullptr; }

    /// The kind of the value. Raises JsonAccessError on nothing.
    JsonKind Kind() const;

    /// The member of that exact name (letter case counts), or nothing when it is missing or the
    /// value is not an object. Raises JsonAccessError on nothing.
    JsonValue Member(std::string_view name) const;

    /// The empty text when the member is missing, otherwise Text() of its value ("null" for a
    /// null member). Raises JsonAccessError on nothing.
    std::string MemberText(std::string_view name) const;

    /// A text value's characters (UTF-8); every other kind's JSON text. Raises JsonAccessError
    /// on nothing.
    std::string Text() const;

    /// The value itself when it is an array, otherwise nothing. Raises JsonAccessError on
    /// nothing.
    JsonValue AsArray() const;

    /// The number of elements of an array or members of an object; 0 for any other kind. Raises
    /// JsonAccessError on nothing.
    std::size_t Length() const;

    /// The element at index, or nothing when index >= Length() or the value is not an array.
    /// Raises JsonAccessError on nothing.
    JsonValue Element(std::size_t index) const;

    /// Integer value; decimal in ten-thousandths. For tests and diagnostics. Raise
    /// JsonAccessError on nothing or on another kind.
    std::int64_t IntegerValue() const;
    std::int64_t DecimalTenThousandths() const;

    /// Floating value, for tests and diagnostics. Raises JsonAccessError on nothing or on
    /// another kind.
    double FloatingValue() const;

private:
    friend struct JsonAccess;
    JsonValue(std::shared_ptr<const JsonDocument> doc, std::uint32_t slot)
        : doc_(std::move(doc)), slot_(slot) {}
    std::shared_ptr<const JsonDocument> doc_;
    std::uint32_t slot_ = 0;
};

/// Parses a text (UTF-8) into its first value. Never raises: a text cut off inside a value, a
/// malformed container or escape, or containers nested 32 deep give nothing; a text that does
/// not begin like JSON (an HTML page, a leading byte-order mark) gives a text value. A parse
/// holds at most seven times the text's size and a few kilobytes at any time, whatever its
/// shape, and the value less; a text too large to hold (4 GiB or more, or more than 2^28 - 1
/// containers or long values) gives nothing.
JsonValue Parse(std::string_view text) noexcept;

}  // namespace korvalot::json
