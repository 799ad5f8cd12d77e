#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "crawl/Collections.h"
#include "crawl/TradeSink.h"
#include "util/FileDescriptor.h"

// An incremental run that is killed leaves trades in its results file that skip.txt does not name
// yet: skip.txt gets its lines in batches, after the results file is flushed. While its card
// phase works, the run keeps a mark beside skip.txt (skip.txt + ".run") that says which results
// file it writes, with which store, and where each trade's rows lie in the file. The next
// incremental run completes that bookkeeping before it asks the register anything: what the
// killed run wrote whole is named in skip.txt, anything after it is cut off the results file, so
// that no line is written twice and no trade is lost.
//
// The mark, UTF-8 lines ended by LF: a head written at once (a temporary file renamed over the
// mark, then the folder flushed), then one line per trade, appended once its rows are in the
// results file, "trade", its rows' first byte and the byte after them, 1 when skip.txt is to
// name it (0: its card lacked data) and its guid, separated by tabs. A trade without lots has
// its line too: it is named in skip.txt, though no row shows it. The trade lines are not
// flushed: a kill loses nothing the system was handed, and a line lost to a power failure costs
// its trade, and those after it, a second fetch, never a line twice. The run holds a lock on the
// mark while it lives, so that a mark of a run still at work is never taken for an interrupted
// one.
namespace korvalot::crawl {

struct RunMarkHead {
    std::filesystem::path resultsFile;
    std::filesystem::path folder;    // where the run's files go
    std::filesystem::path skipFile;  // the skip.txt the run names its trades in
    std::string cardLinkPrefix;      // a trade's skip.txt line and first column: this + guid
    std::uint64_t resultsBase = 0;   // the results file's size with its header, before any row
    std::optional<TradeSinkRunKey> store;
};

// The mark of a card phase at work.
class RunMark {
public:
    static std::filesystem::path PathBeside(const std::filesystem::path& skipFile);

    // Writes the mark at path, replacing any, and holds its lock. Raises CrawlError naming the
    // file and the system's reason.
    RunMark(std::filesystem::path path, const RunMarkHead& head);
    // Leaves the file: a mark is removed only once the run's bookkeeping is complete.
    ~RunMark();
    RunMark(const RunMark&) = delete;
    RunMark& operator=(const RunMark&) = delete;

    // The trade's rows are bytes [start, end) of the results file. Raises CrawlError.
    void TradeWritten(std::string_view guid, std::uint64_t start, std::uint64_t end,
                      bool record);
    // Removes the mark and flushes its folder. Raises CrawlError.
    void Remove();

    const std::filesystem::path& Path() const { return path_; }

private:
    std::filesystem::path path_;
    util::FileDescriptor fd_;
};

// What an incremental run found of an interrupted one, and what it did about it.
struct InterruptedRun {
    enum class Found {
        None,       // no mark: the last run ended its bookkeeping
        Completed,  // the interrupted run's bookkeeping is complete now, its mark removed
        Busy,       // a run that writes into this skip.txt is at work: its mark is left alone
        Elsewhere,  // the mark is of a run into another folder or skip.txt: left alone
        Unreadable  // the mark is not one: removed
    };
    Found found = Found::None;
    std::filesystem::path mark;
    std::filesystem::path resultsFile;
    std::filesystem::path folder;  // Elsewhere: the folder the mark names
    std::int64_t named = 0;        // trades named in skip.txt now
    // Lines cut off the results file, a line cut short included; whole trades among them, and
    // of those, trades the store lacks.
    std::int64_t rowsCut = 0;
    std::int64_t tradesCut = 0;
    std::int64_t notStored = 0;
    bool halfTradeCut = false;  // the file ended in rows without their trade's line in the mark
    // The mark names a store that could not be asked (none this run, another file, or its
    // failure): every trade skip.txt did not name yet was cut off, to be fetched again.
    std::string storeUnasked;
};

// Where this run writes, and how it reaches its store when an interrupted run's mark names one.
struct InterruptedRunPlace {
    std::filesystem::path folder;
    std::filesystem::path skipFile;
    std::function<std::shared_ptr<TradeSink>()> openTradeSink;
};

// Completes the bookkeeping of the run whose mark lies beside skip.txt: names in skip.txt (and
// adds to skipList, the lines of skip.txt) the trades whose rows are whole in its results file
// (with a store: those the store keeps from that run or a later one, up to the first it lacks),
// cuts off the results file everything after them, and removes the mark. Doing it again after a
// kill part way does no harm. Raises CrawlError when the results file, skip.txt or the mark
// cannot be read or written: the run must then not harvest, or it would write lines twice.
InterruptedRun CompleteInterruptedRun(const InterruptedRunPlace& place,
                                      CaseInsensitiveSet& skipList);

}  // namespace korvalot::crawl
