#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace korvalot::tools {

// Appends text as a JSON string literal. Control characters are escaped so that descriptions
// with line breaks stay one valid document.
void AppendJsonString(std::string& out, std::string_view text);

// A forward-only JSON writer that places the commas; values are written in the order given.
class JsonWriter {
public:
    JsonWriter& BeginObject();
    JsonWriter& EndObject();
    JsonWriter& BeginArray();
    JsonWriter& EndArray();
    JsonWriter& Key(std::string_view name);
    JsonWriter& String(std::string_view text);
    JsonWriter& Int(std::int64_t value);
    JsonWriter& Bool(bool value);
    JsonWriter& Null();
    // Already valid JSON text (a number, a literal, a whole nested value).
    JsonWriter& Raw(std::string_view json);

    const std::string& Text() const { return out_; }
    std::string Take() { return std::move(out_); }
    void Reserve(std::size_t bytes) { out_.reserve(bytes); }

private:
    void BeforeValue();

    std::string out_;
    std::vector<bool> first_;
    bool afterKey_ = false;
};

}  // namespace korvalot::tools
