#include "crawl/Workbook.h"

#include <xlsxwriter.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "crawl/CrawlError.h"
#include "crawl/RegisterAddresses.h"
#include "crawl/ResultsFile.h"
#include "crawl/SearchQueries.h"
#include "util/Platform.h"
#include "util/TempFile.h"
#include "util/uLib.h"

namespace korvalot::crawl {
namespace {

static_assert(Workbook::kSheetRows == LXW_ROW_MAX);

constexpr std::uint16_t kColumns = 14;
// Columns (from 0) whose values identify something: kept as text so that a spreadsheet does not
// turn "0012" or a long INN into a number.
constexpr std::array<std::uint16_t, 4> kTextColumns = {0, 2, 5, 13};
constexpr std::array<std::uint16_t, 2> kPriceColumns = {9, 10};
constexpr std::array<std::uint16_t, 2> kDateColumns = {3, 11};

// A spreadsheet cell holds at most 32767 characters.
constexpr std::size_t kCellLimit = 32767;

bool Contains(const auto& columns, std::uint16_t column) {
    for (const auto c : columns) {
        if (c == column)
            return true;
    }
    return false;
}

void Check(lxw_error error, const std::filesystem::path& path) {
    if (error != LXW_NO_ERROR)
        throw CrawlError("Не удалось записать книгу " + path.string() + ": " + lxw_strerror(error));
}

// The name of the temporary file's descriptor, its failure as the workbook's.
std::filesystem::path DescriptorPath(const util::TempFile& file) {
    try {
        return file.DescriptorPath();
    } catch (const util::PlatformError& e) {
        throw CrawlError("Не удалось создать книгу " + file.Target().string() + ": " +
                         std::string(e.Reason()));
    }
}

// The header's column names, from the results file's header line.
std::vector<std::string> HeaderNames() {
    std::vector<std::string> names;
    std::string_view header = ResultsFile::kHeader;
    while (!header.empty()) {
        const std::size_t open = header.find('"');
        const std::size_t close = header.find('"', open + 1);
        if (open == std::string_view::npos || close == std::string_view::npos)
            break;
        names.emplace_back(header.substr(open + 1, close - open - 1));
        header.remove_prefix(close + 1);
    }
    return names;
}

// "1500000,50" with the run's decimal separator; nothing for anything else.
std::optional<double> ReadPrice(std::string text, const std::string& separator) {
    if (text.empty())
        return std::nullopt;
    if (!separator.empty() && separator != ".") {
        for (std::size_t at = text.find(separator); at != std::string::npos;
             at = text.find(separator, at + 1))
            text.replace(at, separator.size(), ".");
    }
    double value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    // "inf" and "nan" are numbers to from_chars, but no cell of a valid workbook.
    if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(value))
        return std::nullopt;
    return value;
}

// "dd.mm.yyyy hh:mm" or "dd.mm.yyyy"; nothing for anything else.
std::optional<lxw_datetime> ReadDate(std::string_view text) {
    const auto number = [&](std::size_t at, std::size_t length) -> std::optional<int> {
        if (at + length > text.size())
            return std::nullopt;
        int value = 0;
        const auto [end, ec] = std::from_chars(text.data() + at, text.data() + at + length, value);
        if (ec != std::errc() || end != text.data() + at + length)
            return std::nullopt;
        return value;
    };
    if (text.size() != 10 && text.size() != 16)
        return std::nullopt;
    if (text[2] != '.' || text[5] != '.')
        return std::nullopt;
    const auto day = number(0, 2), month = number(3, 2), year = number(6, 4);
    if (!day || !month || !year)
        return std::nullopt;
    const std::chrono::year_month_day date{std::chrono::year(*year),
                                           std::chrono::month(static_cast<unsigned>(*month)),
                                           std::chrono::day(static_cast<unsigned>(*day))};
    if (!date.ok() || *year < 1900)
        return std::nullopt;
    lxw_datetime out{*year, *month, *day, 0, 0, 0};
    if (text.size() == 16) {
        const auto hour = number(11, 2), minute = number(14, 2);
        if (text[10] != ' ' || text[13] != ':' || !hour || !minute || *hour > 23 || *minute > 59)
            return std::nullopt;
        out.hour = *hour;
        out.min = *minute;
    }
    return out;
}

// At most the cell's limit of UTF-16 code units, never splitting a character.
std::string FitCell(const std::string& text) {
    return text.substr(0, util::Utf16PrefixBytes(text, kCellLimit));
}

}  // namespace

std::filesystem::path Workbook::PathBeside(const std::filesystem::path& resultsFile) {
    std::filesystem::path path = resultsFile;
    return path.replace_extension(".xlsx");
}

Workbook::Workbook(std::filesystem::path path, std::string registerBaseUrl,
                   std::string decimalSeparator, std::vector<std::string> extraColumns)
    : Workbook(path, path, true, std::move(registerBaseUrl), std::move(decimalSeparator),
               std::move(extraColumns)) {}

Workbook::Workbook(util::TempFile& file, std::string registerBaseUrl,
                   std::string decimalSeparator, std::vector<std::string> extraColumns)
    : Workbook(DescriptorPath(file), file.Target(), false, std::move(registerBaseUrl),
               std::move(decimalSeparator), std::move(extraColumns)) {}

Workbook::Workbook(std::filesystem::path written, std::filesystem::path path,
                   bool removeWhenAbandoned, std::string registerBaseUrl,
                   std::string decimalSeparator, std::vector<std::string> extraColumns)
    : path_(std::move(path)),
      written_(std::move(written)),
      removeWhenAbandoned_(removeWhenAbandoned),
      registerBaseUrl_(std::move(registerBaseUrl)),
      decimalSeparator_(std::move(decimalSeparator)) {
    lxw_workbook_options options{};
    options.constant_memory = LXW_TRUE;
    options.use_zip64 = LXW_TRUE;
    book_ = workbook_new_opt(written_.c_str(), &options);
    if (book_ == nullptr)
        throw CrawlError("Не удалось создать книгу " + path_.string());
    // A constructor that raises gets no destructor: the workbook is let go of here.
    try {
        WriteHeader(extraColumns);
    } catch (...) {
        Abandon();
        throw;
    }
}

void Workbook::WriteHeader(const std::vector<std::string>& extraColumns) {
    rowsSheet_ = workbook_add_worksheet(book_, "Данные");
    bold_ = workbook_add_format(book_);
    format_set_bold(bold_);
    text_ = workbook_add_format(book_);
    format_set_num_format(text_, "@");
    date_ = workbook_add_format(book_);
    format_set_num_format(date_, "dd.mm.yyyy hh:mm");
    money_ = workbook_add_format(book_);
    format_set_num_format(money_, "#,##0.00");

    worksheet_set_column(rowsSheet_, 0, 0, 60, text_);
    worksheet_set_column(rowsSheet_, 1, 1, 24, nullptr);
    worksheet_set_column(rowsSheet_, 2, 2, 14, text_);
    worksheet_set_column(rowsSheet_, 3, 3, 17, date_);
    worksheet_set_column(rowsSheet_, 4, 4, 30, nullptr);
    worksheet_set_column(rowsSheet_, 5, 5, 14, text_);
    worksheet_set_column(rowsSheet_, 6, 8, 30, nullptr);
    worksheet_set_column(rowsSheet_, 9, 10, 16, money_);
    worksheet_set_column(rowsSheet_, 11, 11, 17, date_);
    worksheet_set_column(rowsSheet_, 12, 12, 30, nullptr);
    worksheet_set_column(rowsSheet_, 13, 13, 14, text_);
    worksheet_freeze_panes(rowsSheet_, 1, 0);
    std::vector<std::string> names = HeaderNames();
    names.resize(kColumns);
    columns_ = static_cast<std::uint16_t>(kColumns + extraColumns.size());
    if (!extraColumns.empty())
        worksheet_set_column(rowsSheet_, kColumns, columns_ - 1, 17, date_);
    names.insert(names.end(), extraColumns.begin(), extraColumns.end());
    for (std::uint16_t column = 0; column < names.size(); ++column)
        Check(worksheet_write_string(rowsSheet_, 0, column, names[column].c_str(), bold_), path_);
}

Workbook::~Workbook() {
    Abandon();
}

void Workbook::Abandon() noexcept {
    // A workbook that was never closed is abandoned: the library frees it with its temporary
    // files, and the half-made file is not left to be taken for a result.
    if (book_ != nullptr) {
        workbook_close(book_);
        book_ = nullptr;
        if (removeWhenAbandoned_) {
            std::error_code ignored;
            std::filesystem::remove(path_, ignored);
        }
    }
}

void Workbook::WriteText(std::uint32_t row, std::uint16_t column, const std::string& text,
                         lxw_format* format) {
    Check(worksheet_write_string(rowsSheet_, row, column, FitCell(text).c_str(), format), path_);
}

void Workbook::AddTrade(const std::string& regionName, const std::string& tradeTypeCode,
                        const std::vector<ResultRow>& rows) {
    AddStoredTrade(registerBaseUrl_, regionName, tradeTypeCode, rows, {});
}

void Workbook::AddStoredTrade(const std::string& registerBaseUrl, const std::string& regionName,
                              const std::string& tradeTypeCode, const std::vector<ResultRow>& rows,
                              const std::vector<std::vector<std::string>>& extra) {
    const RegisterAddresses addresses(registerBaseUrl);
    for (std::size_t k = 0; k < rows.size(); ++k) {
        const ResultRow& row = rows[k];
        const auto values = row.Columns();
        WriteText(nextRow_, 0, addresses.CardLink(row.guid), text_);
        for (std::uint16_t column = 1; column < kColumns; ++column) {
            // The same texts as the results file, quotes included.
            const std::string value = util::EscapeCsvQuotes(*values[column - 1]);
            if (value.empty())
                continue;
            if (Contains(kPriceColumns, column)) {
                if (const auto price = ReadPrice(value, decimalSeparator_)) {
                    Check(worksheet_write_number(rowsSheet_, nextRow_, column, *price, money_),
                          path_);
                    continue;
                }
            } else if (Contains(kDateColumns, column)) {
                if (auto date = ReadDate(value)) {
                    Check(worksheet_write_datetime(rowsSheet_, nextRow_, column, &*date, date_),
                          path_);
                    continue;
                }
            }
            WriteText(nextRow_, column, value, Contains(kTextColumns, column) ? text_ : nullptr);
        }
        if (k < extra.size()) {
            for (std::size_t e = 0; e < extra[k].size() && kColumns + e < columns_; ++e) {
                const std::string& value = extra[k][e];
                const auto column = static_cast<std::uint16_t>(kColumns + e);
                if (value.empty())
                    continue;
                if (auto date = ReadDate(value)) {
                    Check(worksheet_write_datetime(rowsSheet_, nextRow_, column, &*date, date_),
                          path_);
                } else {
                    WriteText(nextRow_, column, value, nullptr);
                }
            }
        }
        ++nextRow_;
    }
    if (!byRegion_.contains(regionName))
        regionOrder_.push_back(regionName);
    Counts& region = byRegion_[regionName];
    ++region.trades;
    region.lots += static_cast<std::int64_t>(rows.size());
    Counts& type = byType_[TradeTypeName(tradeTypeCode)];
    ++type.trades;
    type.lots += static_cast<std::int64_t>(rows.size());
}

void Workbook::WriteSummary(const std::optional<RunSummary>& summary) {
    static constexpr const char* kSheet = "Итоги";
    lxw_worksheet* sheet = workbook_add_worksheet(book_, kSheet);
    worksheet_set_column(sheet, 0, 0, 36, nullptr);
    worksheet_set_column(sheet, 1, 2, 12, nullptr);
    std::uint32_t row = 0;
    const auto header = [&](const char* first) {
        Check(worksheet_write_string(sheet, row, 0, first, bold_), path_);
        Check(worksheet_write_string(sheet, row, 1, "Торгов", bold_), path_);
        Check(worksheet_write_string(sheet, row, 2, "Лотов", bold_), path_);
        ++row;
    };
    const auto line = [&](const std::string& name, const Counts& counts) {
        Check(worksheet_write_string(sheet, row, 0, FitCell(name).c_str(), nullptr), path_);
        Check(worksheet_write_number(sheet, row, 1, static_cast<double>(counts.trades), nullptr),
              path_);
        Check(worksheet_write_number(sheet, row, 2, static_cast<double>(counts.lots), nullptr),
              path_);
        ++row;
    };

    header("Регион");
    const std::uint32_t firstRegion = row;
    Counts total;
    for (const std::string& region : regionOrder_) {
        line(region, byRegion_[region]);
        total.trades += byRegion_[region].trades;
        total.lots += byRegion_[region].lots;
    }
    const std::uint32_t lastRegion = row - 1;
    line("Всего", total);
    ++row;

    header("Вид торгов");
    for (const std::string_view name : kTradeTypeNames) {
        const auto found = byType_.find(std::string(name));
        if (found != byType_.end())
            line(found->first, found->second);
    }
    for (const auto& [name, counts] : byType_) {
        if (std::find(kTradeTypeNames.begin(), kTradeTypeNames.end(), name) ==
            kTradeTypeNames.end())
            line(name, counts);
    }
    ++row;

    const auto figure = [&](const char* name, std::int64_t value) {
        Check(worksheet_write_string(sheet, row, 0, name, nullptr), path_);
        Check(worksheet_write_number(sheet, row, 1, static_cast<double>(value), nullptr), path_);
        ++row;
    };
    if (summary) {
        figure("Торгов не получено", summary->tradeJobsFailed);
        figure("Поисковых запросов не выполнено", summary->searchJobsFailed);
        figure("Торгов, до которых поиск не дошёл", summary->unreachable);
    }

    if (!regionOrder_.empty()) {
        lxw_chart* chart = workbook_add_chart(book_, LXW_CHART_BAR);
        lxw_chart_series* series = chart_add_series(chart, nullptr, nullptr);
        chart_series_set_categories(series, kSheet, firstRegion, 0, lastRegion, 0);
        chart_series_set_values(series, kSheet, firstRegion, 2, lastRegion, 2);
        chart_series_set_name(series, "Лотов");
        chart_title_set_name(chart, "Лоты по регионам");
        chart_legend_set_position(chart, LXW_CHART_LEGEND_NONE);
        lxw_chart_options placement{};
        placement.x_scale = 1.5;
        placement.y_scale = std::max(1.0, static_cast<double>(regionOrder_.size()) / 12.0);
        Check(worksheet_insert_chart_opt(sheet, 0, 4, chart, &placement), path_);
    }
}

void Workbook::Close(const std::optional<RunSummary>& summary) {
    const lxw_row_t lastRow = nextRow_ - 1;
    Check(worksheet_autofilter(rowsSheet_, 0, 0, lastRow, columns_ - 1), path_);
    WriteSummary(summary);
    // In constant-memory mode the library writes the rows to a temporary file of its own and
    // never looks at how that went: a full disk or a size limit there would become a sheet cut
    // short in a workbook said to be written. The failure stays marked on the stream.
    errno = 0;
    if (FILE* rows = rowsSheet_->optimize_tmpfile;
        rows != nullptr && (std::fflush(rows) != 0 || std::ferror(rows) != 0)) {
        throw CrawlError("Не удалось записать книгу " + path_.string() +
                         ": строки не записаны во временный файл" +
                         (errno != 0 ? std::string(": ") + std::strerror(errno) : std::string()));
    }
    lxw_workbook* book = book_;
    book_ = nullptr;
    errno = 0;
    const lxw_error error = workbook_close(book);
    const int systemError = errno;
    switch (error) {
        case LXW_ERROR_CREATING_XLSX_FILE:
        case LXW_ERROR_CREATING_TMPFILE:
        case LXW_ERROR_READING_TMPFILE:
        case LXW_ERROR_ZIP_FILE_OPERATION:
        case LXW_ERROR_ZIP_FILE_ADD:
        case LXW_ERROR_ZIP_CLOSE:
            // The library's words say a file failed; the system's say why (a full disk).
            if (systemError != 0) {
                throw CrawlError("Не удалось записать книгу " + path_.string() + ": " +
                                 lxw_strerror(error) + " " + std::strerror(systemError));
            }
            break;
        default:
            break;
    }
    Check(error, path_);
}

}  // namespace korvalot::crawl
