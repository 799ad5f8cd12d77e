#include "store/StoreExport.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <variant>
#include <vector>

#include "crawl/CrawlError.h"
#include "crawl/ResultsFile.h"
#include "crawl/Workbook.h"
#include "store/StoredValues.h"
#include "store/TradeStore.h"
#include "util/Platform.h"
#include "util/TempFile.h"

namespace korvalot::store {
namespace {

namespace fs = std::filesystem;

[[noreturn]] void Fail(const fs::path& path, const std::string& what, std::string_view reason) {
    throw ExportError("файл " + path.string() + ": " + what + ": " + std::string(reason));
}

[[noreturn]] void Fail(const fs::path& path, const std::string& what, int error) {
    Fail(path, what, std::strerror(error));
}

[[noreturn]] void TooManyRows(const fs::path& output, const std::string& rows,
                              std::int64_t workbookRows) {
    throw ExportError("файл " + output.string() + ": строк " + rows +
                      ", а лист книги вмещает не больше " + std::to_string(workbookRows) +
                      " и строку заголовка; выберите меньше строк или выгрузите в .csv");
}

// The workbook library prints some failures to the standard error stream by itself (a file it
// cannot create, a zip error on a full disk) before it returns them; the export says them in
// its own one line. While this lives the C stream stderr writes nowhere: the stream, not the
// descriptor, and only while the workbook is made, on the export's one thread.
class LibraryMessagesMuted {
public:
    LibraryMessagesMuted() : saved_(stderr) {
        static constexpr cookie_io_functions_t kNowhere{
            nullptr, [](void*, const char*, std::size_t size) -> ssize_t {
                return static_cast<ssize_t>(size);
            },
            nullptr, nullptr};
        if (FILE* nowhere = ::fopencookie(nullptr, "w", kNowhere))
            stderr = nowhere;
    }
    ~LibraryMessagesMuted() {
        if (stderr != saved_) {
            FILE* nowhere = stderr;
            stderr = saved_;
            std::fclose(nowhere);
        }
    }
    LibraryMessagesMuted(const LibraryMessagesMuted&) = delete;
    LibraryMessagesMuted& operator=(const LibraryMessagesMuted&) = delete;

private:
    FILE* saved_;
};

// Lines gathered into large writes: an export of a million lots makes a few hundred system
// calls, not a million.
class BufferedFile {
public:
    BufferedFile(int fd, const fs::path& shownAs) : shownAs_(shownAs), fd_(fd) {
        buffer_.reserve(kSize + 64 * 1024);
    }

    void Append(std::string_view bytes) {
        buffer_ += bytes;
        if (buffer_.size() >= kSize)
            Flush();
    }
    void Flush() {
        if (const int error = util::WriteAll(fd_, buffer_))
            Fail(shownAs_, "не удалось записать", error);
        buffer_.clear();
    }

private:
    static constexpr std::size_t kSize = 1 << 20;

    fs::path shownAs_;
    int fd_;
    std::string buffer_;
};

// The row with its prices in the export's decimal separator.
const crawl::ResultRow& InSeparator(const StoredRow& stored, const std::string& separator,
                                    crawl::ResultRow& converted) {
    if (stored.decimalSeparator == separator)
        return stored.row;
    converted = stored.row;
    converted.startPrice =
        WithDecimalSeparator(stored.row.startPrice, stored.decimalSeparator, separator);
    converted.currentPrice =
        WithDecimalSeparator(stored.row.currentPrice, stored.decimalSeparator, separator);
    return converted;
}

using Progress = std::function<void(std::int64_t rows)>;

ExportCounts WriteCsv(Database& db, const TradeFilter& filter, util::TempFile& temporary,
                      const std::string& separator, const Progress& progress) {
    BufferedFile file(temporary.Descriptor(), temporary.Target());
    std::string head = "\xEF\xBB\xBF";
    head += crawl::ResultsFile::kHeader;
    head += "\r\n";
    file.Append(head);
    ExportCounts counts;
    std::string lastGuid;
    crawl::ResultRow converted;
    ForEachStoredRow(db, filter, [&](const StoredRow& stored) {
        file.Append(crawl::ResultsFile::FormatLine(stored.registerUrl,
                                                   InSeparator(stored, separator, converted)));
        ++counts.rows;
        if (stored.row.guid != lastGuid) {
            ++counts.trades;
            lastGuid = stored.row.guid;
        }
        if (progress)
            progress(counts.rows);
    });
    file.Flush();
    return counts;
}

ExportCounts WriteWorkbook(Database& db, const TradeFilter& filter, util::TempFile& temporary,
                           const std::string& separator, std::int64_t workbookRows,
                           const Progress& progress) {
    const fs::path& output = temporary.Target();
    // Declared before the workbook, so that it outlives a workbook abandoned on an error.
    const LibraryMessagesMuted muted;
    std::unique_ptr<crawl::Workbook> book;
    try {
        // The placeholder base address is never used: every trade brings its own.
        book = std::make_unique<crawl::Workbook>(
            temporary, std::string(), separator,
            std::vector<std::string>{kFirstSeenColumn, kLastChangedColumn});
    } catch (const crawl::CrawlError& e) {
        throw ExportError("файл " + output.string() + ": " + e.what());
    }
    ExportCounts counts;
    // A trade's rows go in together, so that the summary sheet counts trades.
    struct Trade {
        std::string guid, registerUrl, region, type;
        std::vector<crawl::ResultRow> rows;
        std::vector<std::vector<std::string>> extra;
    } trade;
    const auto flush = [&] {
        if (trade.rows.empty())
            return;
        try {
            book->AddStoredTrade(trade.registerUrl, trade.region, trade.type, trade.rows,
                                 trade.extra);
        } catch (const crawl::CrawlError& e) {
            throw ExportError("файл " + output.string() + ": " + e.what());
        }
        ++counts.trades;
        trade.rows.clear();
        trade.extra.clear();
    };
    crawl::ResultRow converted;
    ForEachStoredRow(db, filter, [&](const StoredRow& stored) {
        // The rows counted first can grow meanwhile (a harvest writing into the store).
        if (counts.rows >= workbookRows)
            TooManyRows(output, "больше " + std::to_string(workbookRows), workbookRows);
        if (stored.row.guid != trade.guid) {
            flush();
            trade.guid = stored.row.guid;
            trade.registerUrl = stored.registerUrl;
            trade.region = stored.row.region;
            trade.type = stored.tradeType;
        }
        trade.rows.push_back(InSeparator(stored, separator, converted));
        trade.extra.push_back({FileDateTime(stored.firstSeen), FileDateTime(stored.lastChanged)});
        ++counts.rows;
        if (progress)
            progress(counts.rows);
    });
    flush();
    try {
        book->Close(std::nullopt);
    } catch (const crawl::CrawlError& e) {
        throw ExportError("файл " + output.string() + ": " + e.what());
    }
    return counts;
}

}  // namespace

std::optional<ExportFormat> ExportFormatOf(const fs::path& output) {
    std::string extension = output.extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (extension == ".csv")
        return ExportFormat::Csv;
    if (extension == ".xlsx")
        return ExportFormat::Workbook;
    return std::nullopt;
}

std::int64_t CountStoredRows(Database& db, const TradeFilter& filter) {
    const SqlCondition condition = RowConditions(filter);
    Statement query(db,
                    "SELECT count(*) FROM lots l JOIN trades t ON t.id = l.trade_id WHERE " +
                        condition.sql);
    int index = 1;
    for (const auto& parameter : condition.parameters)
        std::visit([&](const auto& value) { query.Bind(index++, value); }, parameter);
    return query.Step() ? query.Int(0) : 0;
}

ExportCounts ExportRows(Database& db, const TradeFilter& filter, const fs::path& output,
                        ExportFormat format, const std::string& decimalSeparator,
                        std::int64_t workbookRows, const Progress& progress) {
    if (format == ExportFormat::Workbook) {
        const std::int64_t rows = CountStoredRows(db, filter);
        if (rows > workbookRows)
            TooManyRows(output, std::to_string(rows), workbookRows);
    }
    std::optional<util::TempFile> temporary;
    try {
        temporary.emplace(output);
    } catch (const util::PlatformError& e) {
        Fail(output, "не удалось создать", e.Reason());
    }
    const ExportCounts counts =
        format == ExportFormat::Csv
            ? WriteCsv(db, filter, *temporary, decimalSeparator, progress)
            : WriteWorkbook(db, filter, *temporary, decimalSeparator, workbookRows, progress);
    try {
        temporary->Keep();
    } catch (const util::PlatformError& e) {
        Fail(output, "не удалось записать", e.Reason());
    }
    return counts;
}

}  // namespace korvalot::store
