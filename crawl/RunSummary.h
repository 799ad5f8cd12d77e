#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>

namespace korvalot::crawl {

// What one run did, counted on the crawl thread and read once the run has ended
// (TScraper::Summary). The run logs it in its own words at its end; korvalot-harvest also turns it
// into its exit status.
struct RunSummary {
    // NotStarted also after a run that could not begin (the named mutex); CutShort: the card
    // phase ended early because what it records the harvest in failed (the results file,
    // skip.txt or the trade store: OutputFailed); Failed: a failure outside the two phases ended
    // the run. A phase error with its 30-second pause still lets the run finish (phaseErrors). A
    // job's last chance is not counted as a further query.
    enum class End { NotStarted, Finished, CutShort, Stopped, Failed };

    End end = End::NotStarted;
    std::int64_t queriesAsked = 0;     // search jobs dispatched (first pages, further pages, parts)
    std::int64_t tradesReported = 0;   // sum of "found" over the selection's top-level queries
    std::int64_t tradesFound = 0;      // distinct new trades listed by the search phase
    std::int64_t skipped = 0;          // listed trades left out because skip.txt names them
    std::int64_t cardsFetched = 0;     // trade jobs whose three answers arrived and were read
    std::int64_t cardsIncomplete = 0;  // cards written with members missing (not in skip.txt)
    std::int64_t tradeJobsFailed = 0;  // trade jobs given up after their last chance
    std::int64_t searchJobsFailed = 0;  // search jobs given up (their pages and parts are lost)
    std::int64_t rowsWritten = 0;       // lines written to the results file, header excluded
    std::int64_t unreachable = 0;       // trades a crowded day reports that no query could reach
    std::int64_t tradesStored = 0;      // trades written to the trade store (a refresh: refreshed)
    std::int64_t tradesChanged = 0;     // of those, trades with a stored value that changed
    // Trades the card phase never reached because the results file, skip.txt or the store
    // failed; each is named in the log.
    std::int64_t tradesNotTried = 0;
    // Harvested trades whose rows were taken back out of the results file because skip.txt
    // could not name them or the store lost them; the next run fetches them again.
    std::int64_t tradesTakenBack = 0;
    std::int64_t retriedAttempts = 0;  // requests' attempts made again after a failed one
    bool cardsStarted = false;         // the card phase asked the register for a card
    bool resultsFileFailed = false;    // the results file could not be created or written
    bool skipFileFailed = false;       // skip.txt could not name the trades harvested
    // The trade store failed during the run: tradesStored counts what it had committed, and
    // storeFile names it.
    bool storeLost = false;
    bool phaseErrors = false;          // a phase ended in an error (the 30-second pause)
    // The register stayed down past the outage limit: the run ended there, every trade it did
    // not fetch counted as failed.
    bool registerLost = false;
    std::chrono::milliseconds elapsed{0};
    // The files the run wrote; empty where it wrote none.
    std::filesystem::path resultsFile;
    std::filesystem::path workbookFile;
    std::filesystem::path guidsFile;
    std::filesystem::path storeFile;  // the trade store, once it was lost

    // Something the card phase records the harvest in failed, which ends the phase.
    bool OutputFailed() const { return resultsFileFailed || skipFileFailed || storeLost; }
    // Every trade the register reported was either harvested or deliberately skipped.
    bool Complete() const {
        return end == End::Finished && tradeJobsFailed == 0 && searchJobsFailed == 0 &&
               unreachable == 0 && cardsIncomplete == 0 && !phaseErrors && !OutputFailed() &&
               !registerLost;
    }
};

}  // namespace korvalot::crawl
