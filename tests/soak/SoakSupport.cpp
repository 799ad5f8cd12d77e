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

bool IsValidUtf8(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        const auto b0 = static_cast<unsigned char>(s[i]);
        int extra = 0;
        std::uint32_t cp = 0;
        if (b0 < 0x80) {
            cp = b0;
        } else if ((b0 & 0xE0) == 0xC0) {
            extra = 1, cp = b0 & 0x1F;
        } else if ((b0 & 0xF0) == 0xE0) {
            extra = 2, cp = b0 & 0x0F;
        } else if ((b0 & 0xF8) == 0xF0) {
            extra = 3, cp = b0 & 0x07;
        } else {
            return false;
        }
        if (i + static_cast<std::size_t>(extra) >= s.size() && extra > 0)
            return false;
        for (int k = 1; k <= extra; ++k) {
            const auto b = static_cast<unsigned char>(s[i + static_cast<std::size_t>(k)]);
            if ((b & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (b & 0x3F);
        }
        static const std::uint32_t kMinimum[] = {0, 0x80, 0x800, 0x10000};
        if (cp < kMinimum[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += static_cast<std::size_t>(extra) + 1;
    }
    return true;
}

ResultsRecords ReadResultsFile(const std::string& bytes) {
    ResultsRecords out;
    const std::string head = "\xEF\xBB\xBF" + std::string(crawl::ResultsFile::kHeader) + "\r\n";
    if (bytes.compare(0, head.size(), head) != 0) {
        out.problem = "the file does not begin with the byte-order mark and the header";
        return out;
    }
    std::size_t i = head.size();
    std::vector<std::string> record;
    while (i < bytes.size()) {
        if (bytes[i] != '"') {
            out.problem = "a field does not begin with a quote at byte " + std::to_string(i);
            return out;
        }
        const std::size_t end = bytes.find('"', i + 1);
        if (end == std::string::npos) {
            out.problem = "a field is not closed, from byte " + std::to_string(i);
            return out;
        }
        record.push_back(bytes.substr(i + 1, end - i - 1));
        i = end + 1;
        if (bytes.compare(i, 1, ";") == 0) {
            ++i;
        } else if (bytes.compare(i, 2, "\r\n") == 0) {
            i += 2;
            if (record.size() != 14) {
                out.problem = "a line of " + std::to_string(record.size()) +
                              " fields ends at byte " + std::to_string(i);
                return out;
            }
            out.rows.push_back(std::move(record));
            record.clear();
        } else {
            out.problem = "neither ; nor CR LF after a field at byte " + std::to_string(i);
            return out;
        }
    }
    return out;
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

fetch::WorkerTransportFactory ClientWithLimits(fetch::ClientLimits limits) {
    class Transport final : public fetch::WorkerTransport {
    public:
        explicit Transport(const fetch::ClientLimits& l) : client_(l) {}
        std::string Get(const std::string& address, const std::string& referer) override {
            return client_.Get(address, referer);
        }
        std::int32_t LastStatusCode() const noexcept override { return client_.LastStatusCode(); }
        void Close() noexcept override { client_.Close(); }

    private:
        fetch::WorkerClient client_;
    };
    return [limits]() -> std::unique_ptr<fetch::WorkerTransport> {
        return std::make_unique<Transport>(limits);
    };
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
    return env;
}

namespace {

std::vector<std::string> WorkerFailureLines(const std::vector<std::string>& log,
                                            const std::string& baseUrl, bool deferred) {
    std::vector<std::string> failed;
    for (const auto& line : log) {
        const bool worker = line.starts_with("Карточка ") || line.starts_with(baseUrl);
        if (worker && line.find(": ERROR") != std::string::npos &&
            line.ends_with(crawl::kRetryLaterNote) == deferred) {
            failed.push_back(line);
        }
    }
    return failed;
}

}  // namespace

std::vector<std::string> FailedJobLines(const std::vector<std::string>& log,
                                        const std::string& baseUrl) {
    return WorkerFailureLines(log, baseUrl, false);
}

std::vector<std::string> DeferredJobLines(const std::vector<std::string>& log,
                                          const std::string& baseUrl) {
    return WorkerFailureLines(log, baseUrl, true);
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
