#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>

#include "store/Database.h"
#include "store/TradeFilter.h"

// Exports of the trade store: the stored rows a filter takes, as a results file (.csv, byte for
// byte the results file's format, so that whatever reads results files reads exports) or as the
// workbook (.xlsx) with two more columns, first seen and last changed.
namespace korvalot::store {

// The output could not be written; what() names the file and the reason.
class ExportError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum class ExportFormat { Csv, Workbook };

// By the file's extension, letter case ignored: ".csv" or ".xlsx"; nothing for any other.
std::optional<ExportFormat> ExportFormatOf(const std::filesystem::path& output);

// The names of the workbook's two more columns.
inline constexpr const char* kFirstSeenColumn = "Впервые найдено";
inline constexpr const char* kLastChangedColumn = "Последнее изменение";

struct ExportCounts {
    std::int64_t rows = 0;
    std::int64_t trades = 0;
};

// Writes the rows the filter takes, in the order the trades were first stored, with prices in
// the given decimal separator. The output is replaced only once it is whole: the rows go to a
// temporary file beside it, which is then renamed. Raises StoreError when the store cannot be
// read and ExportError when the output cannot be written (no temporary file is left).
ExportCounts ExportRows(Database& db, const TradeFilter& filter,
                        const std::filesystem::path& output, ExportFormat format,
                        const std::string& decimalSeparator);

}  // namespace korvalot::store
