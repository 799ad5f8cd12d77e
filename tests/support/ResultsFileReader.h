#pragma once

#include <string>
#include <string_view>
#include <vector>

// Header-only, like Utf8Check.h, and free of the engine: the header line is passed in.
namespace korvalot::testing {

// A results file read back: one record of fourteen fields per line after the header. problem
// is empty when every byte belongs to a whole line: the byte-order mark, the exact header, and
// records of fourteen quoted fields separated by ";" and ended by CR LF.
struct ResultsRecords {
    std::vector<std::vector<std::string>> rows;  // without the header
    std::string problem;
};

inline ResultsRecords ReadResultsFile(std::string_view bytes, std::string_view header) {
    ResultsRecords out;
    const std::string head = "\xEF\xBB\xBF" + std::string(header) + "\r\n";
    if (!bytes.starts_with(head)) {
        out.problem = "the file does not begin with the byte-order mark and the header";
        return out;
    }
    std::size_t i = head.size();
    std::vector<std::string> record;
    while (i < bytes.size()) {
        if (bytes[i] != '"') {
            out.problem = "a field does not begin with a quote at byte " + std::to_string(i);
            return out;
        }
        const std::size_t end = bytes.find('"', i + 1);
        if (end == std::string_view::npos) {
            out.problem = "a field is not closed, from byte " + std::to_string(i);
            return out;
        }
        record.emplace_back(bytes.substr(i + 1, end - i - 1));
        i = end + 1;
        if (bytes.substr(i, 1) == ";") {
            ++i;
        } else if (bytes.substr(i, 2) == "\r\n") {
            i += 2;
            if (record.size() != 14) {
                out.problem = "a line of " + std::to_string(record.size()) +
                              " fields ends at byte " + std::to_string(i);
                return out;
            }
            out.rows.push_back(std::move(record));
            record.clear();
        } else {
            out.problem = "neither ; nor CR LF after a field at byte " + std::to_string(i);
            return out;
        }
    }
    if (!record.empty())
        out.problem = "the last line has no CR LF";
    return out;
}

}  // namespace korvalot::testing
