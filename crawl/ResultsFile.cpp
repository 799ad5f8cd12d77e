#include "crawl/ResultsFile.h"

#include <algorithm>
#include <cerrno>
#include <system_error>

#include <fcntl.h>
#include <unistd.h>

#include "crawl/CrawlError.h"
#include "crawl/RegisterAddresses.h"
#include "util/NewFile.h"
#include "util/Platform.h"
#include "util/uLib.h"

namespace korvalot::crawl {

const std::string_view ResultsFile::kHeader =
    "\"Ссылка на сообщение\";\"Регион\";\"Номер объявления о торгах\";\"Дата объявления о "
    "торгах\";\"Наименование должника\";\"ИНН должника\";\"Тип имущества\";\"Описание "
    "лота\";\"Наименование суда\";\"Начальная цена\";\"Итоговая цена\";\"Дата объявления "
    "результатов\";\"Победитель наименование\";\"Победитель ИНН\"";

std::string ResultsFile::FileName(std::int32_t tickCount) {
    return "data" + std::to_string(tickCount) + ".csv";
}

std::string ResultsFile::FormatLine(std::string_view registerBaseUrl, const ResultRow& row) {
    std::string line;
    line.reserve(256 + row.lotDescription.size());
    line += '"';
    line += RegisterAddresses(std::string(registerBaseUrl)).CardLink(row.guid);
    line += '"';
    for (const std::string* value : row.Columns()) {
        line += ";\"";
        line += util::EscapeCsvQuotes(*value);
        line += '"';
    }
    line += "\r\n";
    return line;
}

namespace {

[[noreturn]] void Fail(const std::string& what, int error) {
    throw ResultsFileError(what + " " + std::system_category().message(error));
}

}  // namespace

ResultsFile::ResultsFile(std::filesystem::path path, std::string registerBaseUrl)
    : path_(std::move(path)), registerBaseUrl_(std::move(registerBaseUrl)) {
    // Never over an earlier harvest: a name already taken gives way to the next free one.
    fd_ = util::FileDescriptor(util::CreateNewFile(path_));
    if (!fd_.IsOpen())
        Fail("Cannot create file \"" + path_.string() + "\".", errno);
    std::string head = "\xEF\xBB\xBF";
    head += kHeader;
    head += "\r\n";
    try {
        Write(head);
    } catch (const ResultsFileError&) {
        // A file without its header is no results file: none is left behind.
        fd_.Close();
        ::unlink(path_.c_str());
        throw;
    }
}

ResultsFile::~ResultsFile() = default;

void ResultsFile::WriteRow(const ResultRow& row) {
    Write(FormatLine(registerBaseUrl_, row));
}

void ResultsFile::WriteTrade(const std::vector<ResultRow>& rows) {
    // One buffer for the trade: Write cuts a failed write back to the last whole write, which
    // is then the end of the previous trade.
    tradeStart_ = written_;
    std::string bytes;
    for (const ResultRow& row : rows)
        bytes += FormatLine(registerBaseUrl_, row);
    if (!bytes.empty())
        Write(bytes);
}

void ResultsFile::Sync() {
    if (!fd_.IsOpen())
        throw ResultsFileError("File \"" + path_.string() + "\" is closed.");
    if (::fsync(fd_.Get()) != 0)
        Fail("Cannot write to file \"" + path_.string() + "\".", errno);
}

void ResultsFile::CutBack(std::uint64_t size) {
    if (!fd_.IsOpen())
        throw ResultsFileError("File \"" + path_.string() + "\" is closed.");
    if (size >= written_)
        return;
    if (::ftruncate(fd_.Get(), static_cast<off_t>(size)) != 0 ||
        ::lseek(fd_.Get(), static_cast<off_t>(size), SEEK_SET) < 0)
        Fail("Cannot write to file \"" + path_.string() + "\".", errno);
    written_ = size;
    tradeStart_ = std::min(tradeStart_, written_);
}

void ResultsFile::Close() {
    if (!fd_.IsOpen())
        return;
    // Rows vouched for in skip.txt must survive a power loss too.
    const bool synced = ::fsync(fd_.Get()) == 0;
    const int syncError = errno;
    if (fd_.Close() != 0)
        Fail("Cannot close file \"" + path_.string() + "\".", errno);
    if (!synced && syncError != EINVAL)
        Fail("Cannot write to file \"" + path_.string() + "\".", syncError);
}

void ResultsFile::Write(std::string_view bytes) {
    if (!fd_.IsOpen())
        throw ResultsFileError("File \"" + path_.string() + "\" is closed.");
    if (const int error = util::WriteAll(fd_.Get(), bytes)) {
        // Drop the part that did get through: the file keeps whole writes only.
        if (::ftruncate(fd_.Get(), static_cast<off_t>(written_)) == 0) {
            ::lseek(fd_.Get(), static_cast<off_t>(written_), SEEK_SET);
        }
        Fail("Cannot write to file \"" + path_.string() + "\".", error);
    }
    written_ += bytes.size();
}

}  // namespace korvalot::crawl
