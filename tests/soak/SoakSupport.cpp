#include "soak/SoakSupport.h"

#include <cctype>
#include <cstdlib>

#include "crawl/CrowdedDays.h"
#include "crawl/PhaseLoop.h"
#include "crawl/ResultsFile.h"
#include "crawl/SearchQueries.h"
#include "json/JsonValue.h"

namespace korvalot::soak {

bool LongRun() {
    const char* value = std::getenv("KORVALOT_SOAK_LONG");
    return value != nullptr && std::string(value) == "1";
}

std::string Lower(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

ResultsRecords ReadResultsFile(const std::string& bytes) {
    return testing::ReadResultsFile(bytes, crawl::ResultsFile::kHeader);
}

GuidLines ReadGuidsFile(const std::string& bytes) {
    GuidLines out;
    std::size_t start = 0;
    while (start < bytes.size()) {
        const std::size_t end = bytes.find("\r\n", start);
        if (end == std::string::npos) {
            out.problem = "the last line has no CR LF";
            return out;
        }
        out.lines.push_back(bytes.substr(start, end - start));
        start = end + 2;
    }
    return out;
}

std::map<std::string, int> RowsPerGuid(const ResultsRecords& records, const std::string& baseUrl) {
    std::map<std::string, int> rows;
    const std::string prefix = baseUrl + "/biddings/";
    for (const auto& record : records.rows) {
        const std::string& address = record[0];
        const std::string guid =
            address.starts_with(prefix) ? address.substr(prefix.size()) : "?" + address;
        ++rows[Lower(guid)];
    }
    return rows;
}

std::map<std::string, TruthTrade> ReadTruth(const std::string& body) {
    std::map<std::string, TruthTrade> truth;
    const json::JsonValue doc = json::Parse(body);
    if (doc.IsNothing())
        return truth;
    for (std::size_t k = 0; k < doc.Length(); ++k) {
        const json::JsonValue t = doc.Element(k);
        truth[Lower(t.MemberText("guid"))] =
            TruthTrade{t.MemberText("regionCode"), std::stoi(t.MemberText("lots")),
                       t.MemberText("tradeType"), t.MemberText("tradeDate")};
    }
    return truth;
}

crawl::ScraperEnvironment TestEnvironment(const std::filesystem::path& exeDir,
                                          const std::filesystem::path& workDir,
                                          crawl::ScraperTimings timings,
                                          fetch::WorkerTransportFactory transport) {
    crawl::ScraperEnvironment env;
    env.transport = std::move(transport);
    env.executableDir = exeDir;
    env.guidsFile = workDir / "guids.txt";
    env.tickCount = [] { return kTick; };
    env.openDocument = [](const std::filesystem::path&) {};
    // One name for every run: the object is never waited on, and each new name would stay behind
    // in /dev/shm.
    env.mutexName = "Global\\KorvalotSoakTests";
    env.timings = timings;
    // An error pause as short as a window stand-in's used to be, so that soaks stay fast.
    env.timings.errorPause = std::chrono::milliseconds(20);
    return env;
}

namespace {

enum class FailureLine { Failed, Deferred, Held };

std::vector<std::string> WorkerFailureLines(const std::vector<std::string>& log,
                                            const std::string& baseUrl, FailureLine kind) {
    std::vector<std::string> failed;
    for (const auto& line : log) {
        const bool worker = line.starts_with("Карточка ") || line.starts_with(baseUrl);
        if (!worker || line.find(": ERROR") == std::string::npos)
            continue;
        const FailureLine found = line.ends_with(crawl::kRetryLaterNote) ? FailureLine::Deferred
                                  : line.ends_with(crawl::kHeldNote)     ? FailureLine::Held
                                                                         : FailureLine::Failed;
        if (found == kind)
            failed.push_back(line);
    }
    return failed;
}

}  // namespace

std::vector<std::string> FailedJobLines(const std::vector<std::string>& log,
                                        const std::string& baseUrl) {
    return WorkerFailureLines(log, baseUrl, FailureLine::Failed);
}

std::vector<std::string> DeferredJobLines(const std::vector<std::string>& log,
                                          const std::string& baseUrl) {
    return WorkerFailureLines(log, baseUrl, FailureLine::Deferred);
}

std::vector<std::string> HeldJobLines(const std::vector<std::string>& log,
                                      const std::string& baseUrl) {
    return WorkerFailureLines(log, baseUrl, FailureLine::Held);
}

std::map<std::string, std::int64_t> UnreachableByDay(const std::vector<std::string>& log) {
    // "Москва (77), Открытый аукцион, 2026-05-08: реестр сообщает о 1527 торгах, собрано 1526;
    // ни одним запросом не достать: 1"
    std::map<std::string, std::int64_t> out;
    const std::string countMarker = "; ни одним запросом не достать: ";
    for (const auto& line : log) {
        const auto count = line.find(countMarker);
        const auto dayEnd = line.find(": реестр сообщает о ");
        if (count == std::string::npos || dayEnd == std::string::npos || dayEnd < 10)
            continue;
        const std::string day = line.substr(dayEnd - 10, 10);
        const auto codeEnd = line.find("), ");
        const auto codeStart = line.rfind(" (", codeEnd);
        const auto typeEnd = line.rfind(", ", dayEnd);
        if (codeEnd == std::string::npos || codeStart == std::string::npos || typeEnd <= codeEnd)
            continue;
        const std::string code = line.substr(codeStart + 2, codeEnd - codeStart - 2);
        const std::string typeName = line.substr(codeEnd + 3, typeEnd - codeEnd - 3);
        std::string type = typeName;
        for (const auto candidate : crawl::kTradeTypeCodes) {
            if (crawl::TradeTypeName(candidate) == typeName)
                type = std::string(candidate);
        }
        out[code + "|" + type + "|" + day] += std::stoll(line.substr(count + countMarker.size()));
    }
    return out;
}

}  // namespace korvalot::soak
