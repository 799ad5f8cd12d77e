#include "crawl/InterruptedRun.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <vector>

#include "crawl/CrawlError.h"
#include "crawl/SkipFileRecorder.h"
#include "util/Platform.h"
#include "util/TempFile.h"

namespace korvalot::crawl {
namespace {

constexpr std::string_view kFirstLine = "korvalot-mark 1";

[[noreturn]] void Fail(const std::string& what, const std::filesystem::path& path, int error) {
    throw CrawlError(what + " " + path.string() + ": " + std::strerror(error));
}

std::filesystem::path FolderOf(const std::filesystem::path& path) {
    return path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
}

// A rename or an unlink lasts a power failure only once its folder is flushed.
void SyncFolder(const std::filesystem::path& path) {
    const std::filesystem::path folder = FolderOf(path);
    const util::FileDescriptor fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.IsOpen() || ::fsync(fd.Get()) != 0)
        Fail("Не удалось записать папку", folder, errno);
}

// The same file, or where it would be, however the two names are written.
bool SamePlace(const std::filesystem::path& a, const std::filesystem::path& b) {
    std::error_code error;
    if (std::filesystem::equivalent(a, b, error))
        return true;
    const auto canonical = [](const std::filesystem::path& p) {
        std::error_code ignored;
        const std::filesystem::path result = std::filesystem::weakly_canonical(p, ignored);
        return ignored ? std::filesystem::absolute(p, ignored) : result;
    };
    return canonical(a) == canonical(b);
}

std::string ReadAll(int fd, const std::filesystem::path& path) {
    std::string bytes;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            Fail("Не удалось прочитать", path, errno);
        if (n == 0)
            return bytes;
        bytes.append(buffer, static_cast<std::size_t>(n));
    }
}

bool ReadNumber(std::string_view text, std::uint64_t& value) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size() && !text.empty();
}

bool ReadNumber(std::string_view text, std::int64_t& value) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size() && !text.empty();
}

// Splits at the first tab: the key, and the rest, which may hold tabs of its own (a path).
std::pair<std::string_view, std::string_view> Field(std::string_view line) {
    const std::size_t tab = line.find('\t');
    if (tab == std::string_view::npos)
        return {line, {}};
    return {line.substr(0, tab), line.substr(tab + 1)};
}

struct MarkedTrade {
    std::uint64_t start = 0;
    std::uint64_t end = 0;
    bool record = true;
    std::string guid;
};

struct Mark {
    RunMarkHead head;
    std::vector<MarkedTrade> trades;
};

// The mark's lines; a last line without its end was being written when the run was killed and
// tells nothing. False when the text is no mark.
bool ParseMark(const std::string& text, Mark& mark) {
    std::vector<std::string_view> lines;
    std::size_t at = 0;
    for (std::size_t end = text.find('\n'); end != std::string::npos;
         at = end + 1, end = text.find('\n', at))
        lines.emplace_back(text.data() + at, end - at);
    if (lines.empty() || lines.front() != kFirstLine)
        return false;
    RunMarkHead& head = mark.head;
    bool results = false, folder = false, skip = false, links = false, base = false;
    for (std::size_t k = 1; k < lines.size(); ++k) {
        const auto [key, rest] = Field(lines[k]);
        if (key == "trade") {
            MarkedTrade trade;
            const auto [start, afterStart] = Field(rest);
            const auto [end, afterEnd] = Field(afterStart);
            const auto [record, guid] = Field(afterEnd);
            if (!ReadNumber(start, trade.start) || !ReadNumber(end, trade.end) ||
                trade.end < trade.start || (record != "0" && record != "1") || guid.empty())
                return false;
            trade.record = record == "1";
            trade.guid = std::string(guid);
            mark.trades.push_back(std::move(trade));
        } else if (key == "results") {
            head.resultsFile = std::string(rest);
            results = true;
        } else if (key == "folder") {
            head.folder = std::string(rest);
            folder = true;
        } else if (key == "skip") {
            head.skipFile = std::string(rest);
            skip = true;
        } else if (key == "links") {
            head.cardLinkPrefix = std::string(rest);
            links = true;
        } else if (key == "base") {
            base = ReadNumber(rest, head.resultsBase);
        } else if (key == "store") {
            const auto [id, file] = Field(rest);
            TradeSinkRunKey store{std::string(file), 0};
            if (!ReadNumber(id, store.runId) || file.empty())
                return false;
            head.store = std::move(store);
        } else {
            return false;
        }
    }
    return results && folder && skip && links && base && !head.resultsFile.empty();
}

// Whether bytes [start, end) of the file are the whole rows of the trade: lines that begin with
// its card link and end with their line end.
bool RowsAreWhole(std::string_view file, const MarkedTrade& trade, const std::string& link) {
    if (trade.end > file.size())
        return false;
    if (trade.start == trade.end)
        return true;
    const std::string_view rows = file.substr(trade.start, trade.end - trade.start);
    return rows.starts_with("\"" + link + "\"") && rows.ends_with("\r\n");
}

// The lines from `from` to the end of the file, a line cut short included. A line begins at
// `from` and after a line end followed by a quoted card link, so that a line end inside a
// quoted text does not count.
std::int64_t LinesFrom(std::string_view file, std::uint64_t from, const std::string& prefix) {
    if (from >= file.size())
        return 0;
    const std::string_view tail = file.substr(from);
    const std::string next = "\r\n\"" + prefix;
    std::int64_t lines = 1;
    for (std::size_t at = tail.find(next); at != std::string_view::npos;
         at = tail.find(next, at + 2))
        ++lines;
    return lines;
}

// Opens the mark and takes its lock, making sure the lock is on the file the name stands for:
// a run that replaced the mark meanwhile holds the lock of the new one.
enum class Opened { Missing, Busy, Locked };
Opened OpenMark(const std::filesystem::path& path, util::FileDescriptor& fd) {
    for (;;) {
        fd = util::FileDescriptor(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
        if (!fd.IsOpen()) {
            if (errno == ENOENT)
                return Opened::Missing;
            Fail("Не удалось открыть", path, errno);
        }
        if (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) {
            if (errno == EWOULDBLOCK)
                return Opened::Busy;
            Fail("Не удалось открыть", path, errno);
        }
        struct stat held {};
        struct stat named {};
        if (::fstat(fd.Get(), &held) != 0)
            Fail("Не удалось открыть", path, errno);
        if (::stat(path.c_str(), &named) != 0) {
            if (errno == ENOENT)
                return Opened::Missing;
            Fail("Не удалось открыть", path, errno);
        }
        if (held.st_dev == named.st_dev && held.st_ino == named.st_ino)
            return Opened::Locked;
    }
}

void RemoveFile(const std::filesystem::path& path) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT)
        Fail("Не удалось удалить", path, errno);
    SyncFolder(path);
}

}  // namespace

std::filesystem::path RunMark::PathBeside(const std::filesystem::path& skipFile) {
    return FolderOf(skipFile) / (skipFile.filename().string() + ".run");
}

RunMark::RunMark(std::filesystem::path path, const RunMarkHead& head) : path_(std::move(path)) {
    std::string text(kFirstLine);
    text += "\nresults\t" + head.resultsFile.string() + "\nfolder\t" + head.folder.string() +
            "\nskip\t" + head.skipFile.string() + "\nlinks\t" + head.cardLinkPrefix +
            "\nbase\t" + std::to_string(head.resultsBase) + "\n";
    if (head.store)
        text += "store\t" + std::to_string(head.store->runId) + "\t" +
                head.store->file.string() + "\n";
    // A name with a line end in it would read back as another mark.
    if (std::count(text.begin(), text.end(), '\n') != (head.store ? 7 : 6))
        throw CrawlError("Метку " + path_.string() + " не записать: в имени файла перевод строки");
    try {
        util::TempFile file(path_);
        file.Write(text);
        // Locked before it is seen under its name: a run that finds it then knows it is at work.
        if (::flock(file.Descriptor(), LOCK_EX) != 0)
            Fail("Не удалось записать", path_, errno);
        fd_ = file.KeepOpen();
    } catch (const util::PlatformError& e) {
        throw CrawlError("Не удалось записать " + path_.string() + ": " + std::string(e.Reason()));
    }
}

RunMark::~RunMark() = default;

void RunMark::TradeWritten(std::string_view guid, std::uint64_t start, std::uint64_t end,
                           bool record) {
    if (!fd_.IsOpen())
        throw CrawlError("Метка " + path_.string() + " уже удалена");
    std::string line = "trade\t" + std::to_string(start) + "\t" + std::to_string(end) +
                       (record ? "\t1\t" : "\t0\t");
    line += guid;
    line += '\n';
    // One write call: with O_APPEND the line lands whole, or, killed part way, without its end.
    if (const int error = util::WriteAll(fd_.Get(), line))
        Fail("Не удалось дописать", path_, error);
}

void RunMark::Remove() {
    if (!fd_.IsOpen())
        return;
    RemoveFile(path_);
    fd_.Close();
}

InterruptedRun CompleteInterruptedRun(const InterruptedRunPlace& place,
                                      CaseInsensitiveSet& skipList) {
    InterruptedRun outcome;
    outcome.mark = RunMark::PathBeside(place.skipFile);
    util::FileDescriptor markFd;
    switch (OpenMark(outcome.mark, markFd)) {
        case Opened::Missing:
            return outcome;
        case Opened::Busy:
            outcome.found = InterruptedRun::Found::Busy;
            return outcome;
        case Opened::Locked:
            break;
    }
    Mark mark;
    if (!ParseMark(ReadAll(markFd.Get(), outcome.mark), mark)) {
        RemoveFile(outcome.mark);
        outcome.found = InterruptedRun::Found::Unreadable;
        return outcome;
    }
    const RunMarkHead& head = mark.head;
    outcome.resultsFile = head.resultsFile;
    outcome.folder = head.folder;
    if (!SamePlace(head.skipFile, place.skipFile) || !SamePlace(head.folder, place.folder)) {
        outcome.found = InterruptedRun::Found::Elsewhere;
        return outcome;
    }

    // A results file that is gone holds nothing to name or to cut: its trades are fetched again.
    util::FileDescriptor results(::open(head.resultsFile.c_str(), O_RDWR | O_CLOEXEC));
    if (!results.IsOpen() && errno != ENOENT)
        Fail("Не удалось открыть", head.resultsFile, errno);
    const std::string file = results.IsOpen() ? ReadAll(results.Get(), head.resultsFile) : "";

    // The trades whose rows are whole, in the order they were written, one after the other.
    std::size_t whole = 0;
    std::uint64_t wholeEnd = head.resultsBase;
    for (const MarkedTrade& trade : mark.trades) {
        if (trade.start != wholeEnd ||
            !RowsAreWhole(file, trade, head.cardLinkPrefix + trade.guid))
            break;
        wholeEnd = trade.end;
        ++whole;
    }
    const auto named = [&](const MarkedTrade& trade) {
        return skipList.contains(head.cardLinkPrefix + trade.guid);
    };

    // skip.txt names only what the store keeps: of the trades it does not name yet, the first
    // the store lacks is fetched again, and with it everything written after it.
    CaseInsensitiveSet stored;
    if (head.store) {
        std::vector<std::string> asked;
        for (std::size_t k = 0; k < whole; ++k) {
            if (!named(mark.trades[k]))
                asked.push_back(mark.trades[k].guid);
        }
        if (!asked.empty()) {
            try {
                std::shared_ptr<TradeSink> sink =
                    place.openTradeSink ? place.openTradeSink() : nullptr;
                const std::optional<TradeSinkRunKey> key =
                    sink ? sink->RunKey() : std::optional<TradeSinkRunKey>();
                if (!key) {
                    outcome.storeUnasked = "хранилище в этом запуске не открыто";
                } else if (!SamePlace(key->file, head.store->file)) {
                    outcome.storeUnasked = "в этом запуске другое хранилище, " + key->file.string();
                } else {
                    for (std::string& guid : sink->KeptSince(head.store->runId, asked))
                        stored.insert(std::move(guid));
                }
            } catch (const std::exception& e) {
                outcome.storeUnasked = e.what();
            }
        }
    }
    std::size_t kept = 0;
    std::uint64_t cutAt = head.resultsBase;
    for (; kept < whole; ++kept) {
        const MarkedTrade& trade = mark.trades[kept];
        if (head.store && !named(trade) && !stored.contains(trade.guid))
            break;
        cutAt = trade.end;
    }
    outcome.tradesCut = static_cast<std::int64_t>(whole - kept);
    outcome.notStored = kept < whole ? 1 : 0;
    for (std::size_t k = kept + 1; k < whole; ++k) {
        if (!named(mark.trades[k]) && !stored.contains(mark.trades[k].guid))
            ++outcome.notStored;
    }
    outcome.halfTradeCut = file.size() > wholeEnd;
    outcome.rowsCut = LinesFrom(file, cutAt, head.cardLinkPrefix);

    if (cutAt < file.size()) {
        if (::ftruncate(results.Get(), static_cast<off_t>(cutAt)) != 0 ||
            ::fsync(results.Get()) != 0)
            Fail("Не удалось записать", head.resultsFile, errno);
    }
    std::vector<std::string> lines;
    for (std::size_t k = 0; k < kept; ++k) {
        const MarkedTrade& trade = mark.trades[k];
        if (trade.record && !named(trade))
            lines.push_back(head.cardLinkPrefix + trade.guid);
    }
    if (!lines.empty()) {
        SkipFileRecorder(place.skipFile).AppendLines(lines);
        for (std::string& line : lines)
            skipList.insert(std::move(line));
    }
    outcome.named = static_cast<std::int64_t>(lines.size());
    RemoveFile(outcome.mark);
    outcome.found = InterruptedRun::Found::Completed;
    return outcome;
}

}  // namespace korvalot::crawl
