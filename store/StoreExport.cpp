#include "store/StoreExport.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "crawl/CrawlError.h"
#include "crawl/ResultsFile.h"
#include "crawl/Workbook.h"
#include "store/StoredValues.h"
#include "store/TradeStore.h"
#include "util/Platform.h"

namespace korvalot::store {
namespace {

namespace fs = std::filesystem;

[[noreturn]] void Fail(const fs::path& path, const std::string& what, int error) {
    throw ExportError("файл " + path.string() + ": " + what + ": " + std::strerror(error));
}

// The temporary file the output is written to, removed unless it has been renamed over the
// output.
class TemporaryOutput {
public:
    explicit TemporaryOutput(const fs::path& output)
        : output_(output), path_(output.string() + ".tmp-" + std::to_string(::getpid())) {}
    ~TemporaryOutput() {
        if (!kept_) {
            std::error_code ignored;
            fs::remove(path_, ignored);
        }
    }
    TemporaryOutput(const TemporaryOutput&) = delete;
    TemporaryOutput& operator=(const TemporaryOutput&) = delete;

    const fs::path& Path() const { return path_; }

    // The whole file on disk under the output's name.
    void Keep() {
        const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0 || ::fsync(fd) != 0) {
            const int error = errno;
            if (fd >= 0)
                ::close(fd);
            Fail(output_, "не удалось записать", error);
        }
        ::close(fd);
        if (::rename(path_.c_str(), output_.c_str()) != 0)
            Fail(output_, "не удалось записать", errno);
        kept_ = true;
    }

private:
    fs::path output_;
    fs::path path_;
    bool kept_ = false;
};

// Lines gathered into large writes: an export of a million lots makes a few hundred system
// calls, not a million.
class BufferedFile {
public:
    BufferedFile(const fs::path& path, const fs::path& shownAs) : shownAs_(shownAs) {
        fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (fd_ < 0)
            Fail(shownAs_, "не удалось создать", errno);
        buffer_.reserve(kSize + 64 * 1024);
    }
    ~BufferedFile() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    BufferedFile(const BufferedFile&) = delete;
    BufferedFile& operator=(const BufferedFile&) = delete;

    void Append(std::string_view bytes) {
        buffer_ += bytes;
        if (buffer_.size() >= kSize)
            Flush();
    }
    void Close() {
        Flush();
        const int fd = fd_;
        fd_ = -1;
        if (::close(fd) != 0)
            Fail(shownAs_, "не удалось записать", errno);
    }

private:
    static constexpr std::size_t kSize = 1 << 20;

    void Flush() {
        if (const int error = util::WriteAll(fd_, buffer_))
            Fail(shownAs_, "не удалось записать", error);
        buffer_.clear();
    }

    fs::path shownAs_;
    int fd_ = -1;
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

ExportCounts WriteCsv(Database& db, const TradeFilter& filter, const fs::path& path,
                      const fs::path& output, const std::string& separator) {
    BufferedFile file(path, output);
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
    });
    file.Close();
    return counts;
}

ExportCounts WriteWorkbook(Database& db, const TradeFilter& filter, const fs::path& path,
                           const fs::path& output, const std::string& separator) {
    std::unique_ptr<crawl::Workbook> book;
    try {
        // The placeholder base address is never used: every trade brings its own.
        book = std::make_unique<crawl::Workbook>(
            path, std::string(), separator,
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

ExportCounts ExportRows(Database& db, const TradeFilter& filter, const fs::path& output,
                        ExportFormat format, const std::string& decimalSeparator) {
    TemporaryOutput temporary(output);
    const ExportCounts counts =
        format == ExportFormat::Csv
            ? WriteCsv(db, filter, temporary.Path(), output, decimalSeparator)
            : WriteWorkbook(db, filter, temporary.Path(), output, decimalSeparator);
    temporary.Keep();
    return counts;
}

}  // namespace korvalot::store
