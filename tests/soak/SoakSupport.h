#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "crawl/uScraper.h"
#include "fetch/ClientProfiles.h"
#include "fetch/TScrapingThread2.h"
#include "fetch/WorkerClientTransport.h"
#include "support/ResultsFileReader.h"
#include "support/Utf8Check.h"

// What the soak, storm and bad-input suites share: reading the files a run leaves, the
// register's ground truth, and runs with shortened timings.
namespace korvalot::soak {

// The long versions (bench/harvest/run.sh --long-soak) set KORVALOT_SOAK_LONG=1.
bool LongRun();

std::string Lower(std::string text);
using testing::IsValidUtf8;

// The run's results file read back against the engine's header line.
using testing::ResultsRecords;
ResultsRecords ReadResultsFile(const std::string& bytes);

// The lines of guids.txt; problem is empty when the file is lines each ended by CR LF.
struct GuidLines {
    std::vector<std::string> lines;
    std::string problem;
};
GuidLines ReadGuidsFile(const std::string& bytes);

// Rows of a results file per trade guid (lower case), from the card address in column 1.
std::map<std::string, int> RowsPerGuid(const ResultsRecords& records, const std::string& baseUrl);

struct TruthTrade {
    std::string regionCode;
    int lots = 0;
    std::string tradeType;  // the code, e.g. "OpenAuction"
    std::string tradeDate;  // yyyy-mm-dd
};
// The simulator's trades of a selection, by lower-case guid.
std::map<std::string, TruthTrade> ReadTruth(const std::string& body);

// An environment with these directories; timings and transport as given.
crawl::ScraperEnvironment TestEnvironment(const std::filesystem::path& exeDir,
                                          const std::filesystem::path& workDir,
                                          crawl::ScraperTimings timings,
                                          fetch::WorkerTransportFactory transport);

// Log lines of workers whose job was given up after its last chance: "Карточка <guid>: ERROR..."
// and "<address>: ERROR...".
std::vector<std::string> FailedJobLines(const std::vector<std::string>& log,
                                        const std::string& baseUrl);
// Log lines of workers whose job failed its first chance and waits for another.
std::vector<std::string> DeferredJobLines(const std::vector<std::string>& log,
                                          const std::string& baseUrl);
// Log lines of workers whose job failed while the register did not answer at all: held, the
// failure not counted against the job.
std::vector<std::string> HeldJobLines(const std::vector<std::string>& log,
                                      const std::string& baseUrl);

// What the run's log says no query could reach, by "<region code>|<trade type code>|<day>", from
// the lines that account for crowded days.
std::map<std::string, std::int64_t> UnreachableByDay(const std::vector<std::string>& log);

constexpr std::int32_t kTick = 4242;

}  // namespace korvalot::soak
