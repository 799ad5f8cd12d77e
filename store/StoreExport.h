#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>

#include "crawl/Workbook.h"
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

// The rows below the header that one sheet of a workbook holds.
inline constexpr std::int64_t kWorkbookRows = crawl::Workbook::kSheetRows - 1;

// The number of stored rows the filter takes.
std::int64_t CountStoredRows(Database& db, const TradeFilter& filter);

// Writes the rows the filter takes, in the order the trades were first stored, with prices in
// the given decimal separator. The output is replaced only once it is whole, through a
// util::TempFile: a link or anything else at its name is replaced, never written through, and
// a replaced file keeps its mode. A workbook of more rows than workbookRows is refused before
// anything is written. Raises StoreError when the store cannot be read and ExportError, one
// line, when the output cannot be written (the old output is then as it was and no temporary
// file is left); nothing of the workbook library reaches the standard error stream. progress,
// when given, is told the rows written so far after each row; an exception it raises ends the
// export as a failure does (so a window cancels one), and reaches the caller.
ExportCounts ExportRows(Database& db, const TradeFilter& filter,
                        const std::filesystem::path& output, ExportFormat format,
                        const std::string& decimalSeparator,
                        std::int64_t workbookRows = kWorkbookRows,
                        const std::function<void(std::int64_t rows)>& progress = {});

}  // namespace korvalot::store
