#include "crawl/ResultsFile.h"

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

ResultsFile::ResultsFile(std::filesystem::path path, std::string registerBaseUrl)
    : path_(std::move(path)), registerBaseUrl_(std::move(registerBaseUrl)) {
    // Never over an earlier harvest: a name already taken gives way to the next free one.
    fd_ = util::CreateNewFile(path_);
    if (fd_ < 0) {
        throw ResultsFileError("Cannot create file \"" + path_.string() + "\". " +
                               std::system_category().message(errno));
    }
    try {
        std::string head = "\xEF\xBB\xBF";
        head += kHeader;
        head += "\r\n";
        Write(head);
    } catch (...) {
        ::close(fd_);
        throw;
    }
}

ResultsFile::~ResultsFile() {
    if (fd_ >= 0)
        ::close(fd_);
}

void ResultsFile::WriteRow(const ResultRow& row) {
    Write(FormatLine(registerBaseUrl_, row));
}

void ResultsFile::Close() {
    if (fd_ < 0)
        return;
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) {
        throw ResultsFileError("Cannot close file \"" + path_.string() + "\". " +
                               std::system_category().message(errno));
    }
}

void ResultsFile::Write(std::string_view bytes) {
    if (fd_ < 0)
        throw ResultsFileError("File \"" + path_.string() + "\" is closed.");
    if (const int error = util::WriteAll(fd_, bytes)) {
        // Drop the part of the line that did get through: the file keeps whole lines only.
        if (::ftruncate(fd_, static_cast<off_t>(written_)) == 0) {
            ::lseek(fd_, static_cast<off_t>(written_), SEEK_SET);
        }
        throw ResultsFileError("Cannot write to file \"" + path_.string() + "\". " +
                               std::system_category().message(error));
    }
    written_ += bytes.size();
}

}  // namespace korvalot::crawl
