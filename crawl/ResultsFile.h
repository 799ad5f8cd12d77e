#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "crawl/TradeCard.h"
#include "util/FileDescriptor.h"

// The results file of a run: UTF-8 with a byte-order mark, a header line and one line per lot,
// fourteen quoted fields separated by ";", every line ended by CR LF.
namespace korvalot::crawl {

class ResultsFile {
public:
    static const std::string_view kHeader;

    // "data" + the tick count as a signed decimal + ".csv".
    static std::string FileName(std::int32_t tickCount);
    // One line of the file, CR LF included.
    static std::string FormatLine(std::string_view registerBaseUrl, const ResultRow& row);

    // Creates the file and writes the byte-order mark and the header. A file of that name is
    // never replaced: the next free name is taken ("data5-2.csv"), which Path() then gives.
    // Raises ResultsFileError naming the file and the system's reason.
    ResultsFile(std::filesystem::path path, std::string registerBaseUrl);
    ~ResultsFile();
    ResultsFile(const ResultsFile&) = delete;
    ResultsFile& operator=(const ResultsFile&) = delete;

    // Each line reaches the file before the call returns, so an interrupted run leaves every
    // row handed over; a write the system does not complete raises ResultsFileError.
    void WriteRow(const ResultRow& row);
    // All rows of one trade or none: a write that fails part way cuts the file back to the end
    // of the previous trade, so that a rerun neither duplicates nor misses the trade.
    void WriteTrade(const std::vector<ResultRow>& rows);
    // Flushes the written rows to the disk (fsync). Raises ResultsFileError.
    void Sync();
    // Bytes of whole rows in the file, the header included; and where the last trade written
    // with WriteTrade begins.
    std::uint64_t Size() const { return written_; }
    std::uint64_t LastTradeStart() const { return tradeStart_; }
    // Cuts the file back to a size it had after a whole trade: rows that skip.txt could not
    // name go, so that the next run's rows of those trades are not repeated. Raises
    // ResultsFileError.
    void CutBack(std::uint64_t size);
    // Raises ResultsFileError when the system reports a failure on closing.
    void Close();

    const std::filesystem::path& Path() const { return path_; }

private:
    void Write(std::string_view bytes);

    std::filesystem::path path_;
    std::string registerBaseUrl_;
    util::FileDescriptor fd_;
    std::uint64_t written_ = 0;  // bytes of whole lines in the file
    std::uint64_t tradeStart_ = 0;
};

}  // namespace korvalot::crawl
