#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "crawl/TradeCard.h"

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
    // Raises ResultsFileError when the system reports a failure on closing.
    void Close();

    const std::filesystem::path& Path() const { return path_; }

private:
    void Write(std::string_view bytes);

    std::filesystem::path path_;
    std::string registerBaseUrl_;
    int fd_ = -1;
    std::size_t written_ = 0;  // bytes of whole lines in the file
};

}  // namespace korvalot::crawl
