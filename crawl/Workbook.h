#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "crawl/RunSummary.h"
#include "crawl/TradeCard.h"

struct lxw_workbook;
struct lxw_worksheet;
struct lxw_format;

namespace korvalot::util {
class TempFile;
}

// The results of a run as a spreadsheet workbook beside the results file: the same rows, typed
// (identifiers as text, prices as numbers, dates as dates), and a second sheet that sums the run
// up. Rows go to disk as they come (the library's constant-memory mode), so a long run does not
// hold its rows in memory.
namespace korvalot::crawl {

class Workbook {
public:
    // The rows of a sheet, the header row included.
    static constexpr std::int64_t kSheetRows = 1048576;

    // "data" + the tick count + ".xlsx": the results file's name with the other extension.
    static std::filesystem::path PathBeside(const std::filesystem::path& resultsFile);

    // Starts the workbook and writes the header row: the results file's fourteen columns, then
    // extraColumns. Raises CrawlError.
    Workbook(std::filesystem::path path, std::string registerBaseUrl, std::string decimalSeparator,
             std::vector<std::string> extraColumns = {});
    // The same, written into a temporary file that is to replace another: the library, which
    // opens its file by name, is given the name of the open file itself, so that nothing put at
    // the temporary name is written through; messages name the file to be replaced. A workbook
    // that is not closed leaves the file to its owner.
    Workbook(util::TempFile& file, std::string registerBaseUrl, std::string decimalSeparator,
             std::vector<std::string> extraColumns = {});
    ~Workbook();
    Workbook(const Workbook&) = delete;
    Workbook& operator=(const Workbook&) = delete;

    // The rows of one trade, as the results file got them. Raises CrawlError.
    void AddTrade(const std::string& regionName, const std::string& tradeTypeCode,
                  const std::vector<ResultRow>& rows);
    // The same for rows kept elsewhere (an export of the trade store): the card links made from
    // this base address, and for each row the texts of the extra columns, which become dates
    // when they read as the results file's dates. Raises CrawlError.
    void AddStoredTrade(const std::string& registerBaseUrl, const std::string& regionName,
                        const std::string& tradeTypeCode, const std::vector<ResultRow>& rows,
                        const std::vector<std::vector<std::string>>& extra);
    // Writes the summary sheet, with the run's figures when there was a run, and the file.
    // Raises CrawlError; the file is then incomplete.
    void Close(const std::optional<RunSummary>& summary);

    const std::filesystem::path& Path() const { return path_; }

private:
    struct Counts {
        std::int64_t trades = 0;
        std::int64_t lots = 0;
    };

    // written: the name the library opens; path: the name messages give.
    Workbook(std::filesystem::path written, std::filesystem::path path, bool removeWhenAbandoned,
             std::string registerBaseUrl, std::string decimalSeparator,
             std::vector<std::string> extraColumns);
    // The header row and the columns' formats (constructor).
    void WriteHeader(const std::vector<std::string>& extraColumns);
    // Frees a workbook that will not be closed, and removes its file.
    void Abandon() noexcept;
    void WriteText(std::uint32_t row, std::uint16_t column, const std::string& text,
                   lxw_format* format);
    void WriteSummary(const std::optional<RunSummary>& summary);

    std::filesystem::path path_;
    std::filesystem::path written_;
    bool removeWhenAbandoned_ = true;
    std::string registerBaseUrl_;
    std::string decimalSeparator_;
    lxw_workbook* book_ = nullptr;
    lxw_worksheet* rowsSheet_ = nullptr;
    lxw_format* bold_ = nullptr;
    lxw_format* text_ = nullptr;
    lxw_format* date_ = nullptr;
    lxw_format* money_ = nullptr;
    std::uint16_t columns_ = 0;  // the fourteen and the extra ones
    std::uint32_t nextRow_ = 1;
    // In the order first met, so the summary lists regions as the run reached them.
    std::vector<std::string> regionOrder_;
    std::map<std::string, Counts> byRegion_;
    std::map<std::string, Counts> byType_;
};

}  // namespace korvalot::crawl
