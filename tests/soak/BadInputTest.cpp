// A register that answers one query or one trade badly, in the ways a register does: the bad
// answer may cost that trade or that query, never a crash, a broken file or anything else.

#include <gtest/gtest.h>

#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "crawl/ResultsFile.h"
#include "crawl/fakes/RecordingReports.h"
#include "crawl/fakes/TempDir.h"
#include "soak/SoakSupport.h"
#include "support/ScriptedServer.h"

namespace korvalot::soak {
namespace {

using namespace std::chrono_literals;
using crawl::testing_support::ReadBytes;
using crawl::testing_support::RecordingReports;
using crawl::testing_support::TempDir;
using testing::OkAnswer;
using testing::ReceivedRequest;
using testing::Reply;
using testing::ScriptedServer;

const std::string kCardPath = "/backend/biddings/";
constexpr int kAny = -1;

std::string Page(const std::string& found, const std::vector<std::string>& guids) {
    std::string page = "{\"found\":" + found + ",\"pageData\":[";
    for (std::size_t i = 0; i < guids.size(); ++i)
        page += (i ? "," : "") + std::string("{\"guid\":\"") + guids[i] + "\"}";
    return page + "]}";
}

std::string Card(const std::string& debtorName = "ООО \\\"Ромашка\\\"") {
    return "{\"message\":{\"number\":\"1234567\",\"datePublish\":\"2026-01-02T10:15:00+03:00\"},"
           "\"debtor\":{\"name\":\"" +
           debtorName +
           "\",\"inn\":\"7701234567\"},"
           "\"biddingPeriod\":{\"startDate\":\"2026-02-01T09:00:00\"}}";
}

std::string Lots(const std::string& firstDescription = "Квартира") {
    return "{\"found\":2,\"pageData\":[{\"classifiers\":[\"Недвижимость\"],\"tradeObject\":\"" +
           firstDescription +
           "\",\"startPrice\":1500000.00,\"currentPrice\":null,\"winner\":null},"
           "{\"classifiers\":[],\"tradeObject\":\"Гараж\",\"startPrice\":100000,"
           "\"currentPrice\":120000.5,\"winner\":{\"name\":\"Иванов\",\"inn\":\"7707083893\"}}]}";
}

// gzip of `size` zero bytes: a few hundred kilobytes that inflate past any sane body.
std::string GzipOfZeros(std::size_t size) {
    z_stream z{};
    deflateInit2(&z, 9, Z_DEFLATED, 15 + 16, 9, Z_DEFAULT_STRATEGY);
    std::string zeros(1 << 20, '\0');
    std::string out;
    char buffer[1 << 16];
    for (std::size_t done = 0; done < size;) {
        const std::size_t n = std::min(zeros.size(), size - done);
        done += n;
        z.next_in = reinterpret_cast<Bytef*>(zeros.data());
        z.avail_in = static_cast<uInt>(n);
        const int flush = done == size ? Z_FINISH : Z_NO_FLUSH;
        do {
            z.next_out = reinterpret_cast<Bytef*>(buffer);
            z.avail_out = sizeof buffer;
            deflate(&z, flush);
            out.append(buffer, sizeof buffer - z.avail_out);
        } while (z.avail_out == 0);
    }
    deflateEnd(&z);
    return out;
}

// What the bad register serves besides the good one: a Reply for a request it answers badly.
struct Context {
    std::string elsewhere;  // the address of another server, which nothing may reach
};
using Override = std::function<std::optional<Reply>(const std::string& target, const Context&)>;

std::optional<Reply> For(const std::string& target, const std::string& wanted, std::string bytes) {
    if (target == wanted)
        return Reply().Send(std::move(bytes));
    return std::nullopt;
}

// The search answer of the first query (OpenAuction); the second query (PublicOffer) always
// finds good-1 and good-2.
Override SearchAnswer(std::string bytes) {
    return [bytes](const std::string& target, const Context&) -> std::optional<Reply> {
        if (target.find("tradeType=OpenAuction") != std::string::npos)
            return Reply().Send(bytes);
        return std::nullopt;
    };
}

Override BadTradeIs(std::string guid) {
    return SearchAnswer(OkAnswer(Page("1", {guid})));
}

Override Both(Override a, Override b) {
    return [a, b](const std::string& target, const Context& c) {
        auto reply = a(target, c);
        return reply ? reply : b(target, c);
    };
}

struct BadInput {
    const char* name;
    std::function<Override(const Context&)> register_;
    // Rows expected of the trades that are not good-1 and good-2, by guid as written in the file;
    // kAny where either whole rows or none will do.
    std::map<std::string, int> otherRows;  // "<elsewhere>" stands for Context::elsewhere
    // A log line must contain each of these.
    std::vector<std::string> log;
    int errorPauses = 0;  // results "ERROR_..." before the "ok"
    // Further checks on the results file's records, the log and the server's requests.
    std::function<void(const ResultsRecords&, const RecordingReports&, const ScriptedServer&)>
        check;
};

void PrintTo(const BadInput& c, std::ostream* os) {
    *os << c.name;
}

class BadInputTest : public ::testing::TestWithParam<BadInput> {};

TEST_P(BadInputTest, CostsOnlyTheBadAnswer) {
    const BadInput& c = GetParam();
    ScriptedServer elsewhere([](const ReceivedRequest&) { return Reply().Send(OkAnswer("{}")); });
    const Context context{elsewhere.Address("/steal")};
    const Override bad = c.register_(context);
    ScriptedServer server([&](const ReceivedRequest& r) {
        const std::string target = r.Target();
        // A request line with a blank in its target is no HTTP at all.
        const std::string line = r.head.substr(0, r.head.find("\r\n"));
        if (std::count(line.begin(), line.end(), ' ') != 2)
            return Reply().Send("HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n").Close();
        if (auto reply = bad(target, context))
            return *reply;
        if (target.starts_with("/backend/biddings?")) {
            if (target.find("tradeType=PublicOffer") != std::string::npos)
                return Reply().Send(OkAnswer(Page("2", {"good-1", "good-2"})));
            return Reply().Send(OkAnswer(Page("0", {})));
        }
        if (target.starts_with(kCardPath)) {
            const std::string rest = target.substr(kCardPath.size());
            if (rest.ends_with("/additional"))
                return Reply().Send(OkAnswer("{\"courtName\":\"Арбитражный суд\"}"));
            if (rest.find("/lots?offset=0&limit=50") != std::string::npos)
                return Reply().Send(OkAnswer(Lots()));
            if (rest.find('/') == std::string::npos)
                return Reply().Send(OkAnswer(Card()));
        }
        return Reply().Send("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n");
    });

    TempDir exeDir;
    TempDir workDir;
    RecordingReports reports;
    reports.inputs.regionItems = {"Тестовая область (99)"};
    reports.inputs.tradeTypePositions = {0, 2};
    reports.inputs.dateFrom = std::chrono::year_month_day{
        std::chrono::year(2026), std::chrono::January, std::chrono::day(1)};
    reports.inputs.dateTo = std::chrono::year_month_day{std::chrono::year(2026),
                                                        std::chrono::January, std::chrono::day(3)};
    fetch::ClientLimits limits;
    limits.connect = 10s;
    limits.read = 20s;
    const std::string baseUrl = server.Address("");
    auto run =
        crawl::TScraper::Create(reports, baseUrl,
                                TestEnvironment(exeDir.path(), workDir.path(), {2ms, 1ms, 2ms},
                                                fetch::WorkerClientTransportFactory(limits)));
    run->Start();
    ASSERT_TRUE(run->WaitUntilEnded(300s)) << "the run did not end";

    // The run went on to its end: an error pause per broken answer at most, then "ok".
    std::vector<std::string> expectedResults(static_cast<std::size_t>(c.errorPauses), "ERROR_");
    expectedResults.push_back("ok");
    std::vector<std::string> results = reports.Results();
    for (auto& r : results) {
        if (r.starts_with("ERROR_"))
            r = "ERROR_";
    }
    EXPECT_EQ(results, expectedResults);
    const auto log = reports.LogTexts();
    for (const auto& wanted : c.log) {
        EXPECT_TRUE(std::any_of(log.begin(), log.end(),
                                [&](const std::string& l) { return l.find(wanted) != l.npos; }))
            << "no log line holds: " << wanted;
    }

    // guids.txt: one listed trade per line.
    const GuidLines guids = ReadGuidsFile(ReadBytes(workDir / "guids.txt"));
    EXPECT_EQ(guids.problem, "");
    const std::string foundLine = "Найдено торгов: ";
    const auto found = std::find_if(log.begin(), log.end(),
                                    [&](const std::string& l) { return l.starts_with(foundLine); });
    ASSERT_NE(found, log.end());
    EXPECT_EQ(std::to_string(guids.lines.size()), found->substr(foundLine.size()))
        << "guids.txt does not hold one trade per line";

    const std::string bytes = ReadBytes(exeDir / crawl::ResultsFile::FileName(kTick));
    EXPECT_TRUE(IsValidUtf8(bytes)) << "the results file is not UTF-8";
    const ResultsRecords records = ReadResultsFile(bytes);
    ASSERT_EQ(records.problem, "");
    std::map<std::string, int> rows;
    const std::string prefix = baseUrl + "/biddings/";
    for (const auto& record : records.rows) {
        ASSERT_TRUE(record[0].starts_with(prefix)) << record[0];
        ++rows[record[0].substr(prefix.size())];
    }
    std::map<std::string, int> expected;
    for (const auto& [guid, count] : c.otherRows)
        expected[guid == "<elsewhere>" ? context.elsewhere : guid] = count;
    expected["good-1"] = 2;
    expected["good-2"] = 2;
    for (const auto& [guid, count] : expected) {
        if (count == kAny && rows.count(guid)) {
            EXPECT_EQ(rows[guid], 2) << "a trade written in part: " << guid;
        }
        if (count == kAny)
            rows.erase(guid);
    }
    std::erase_if(expected, [](const auto& entry) { return entry.second <= 0; });
    EXPECT_EQ(rows, expected);
    for (const auto& record : records.rows) {
        if (record[0].ends_with("/good-1")) {
            EXPECT_EQ(record[4], "ООО 'Ромашка'");
        }
    }

    EXPECT_EQ(elsewhere.Requests().size(), 0u) << "a register answer sent the harvester elsewhere";
    if (c.check)
        c.check(records, reports, server);
}

int RequestsTo(const ScriptedServer& server, const std::string& target) {
    const auto requests = server.Requests();
    return static_cast<int>(
        std::count_if(requests.begin(), requests.end(),
                      [&](const ReceivedRequest& r) { return r.Target() == target; }));
}

const std::string kHtml =
    "<!DOCTYPE html><html><head><title>Технические работы</title></head>"
    "<body><h1>Сервис временно недоступен</h1></body></html>";

std::vector<BadInput> Cases() {
    std::vector<BadInput> cases;
    auto fixed = [](Override o) { return [o](const Context&) { return o; }; };

    cases.push_back({"HtmlPageWithStatus200AsCard",
                     fixed(Both(BadTradeIs("bad-1"),
                                [](const std::string& t, const Context&) {
                                    return For(t, kCardPath + "bad-1",
                                               OkAnswer(kHtml, "Content-Type: text/html\r\n"));
                                })),
                     {{"bad-1", 0}},
                     {"Карточка bad-1: ERROR_Invalid JSON response for bad-1"},
                     0,
                     [](const ResultsRecords&, const RecordingReports&, const ScriptedServer& s) {
                         // Ten attempts, and ten more at its last chance.
                         EXPECT_EQ(RequestsTo(s, kCardPath + "bad-1"), 20);
                     }});
    cases.push_back({"HtmlPageWithStatus200AsSearchAnswer",
                     fixed(SearchAnswer(OkAnswer(kHtml, "Content-Type: text/html\r\n"))),
                     {},
                     {": ERROR_Invalid JSON response for https://"},
                     0,
                     nullptr});
    cases.push_back({"EmptyBodyOfLots",
                     fixed(Both(BadTradeIs("bad-1"),
                                [](const std::string& t, const Context&) {
                                    return For(t, kCardPath + "bad-1/lots?offset=0&limit=50",
                                               OkAnswer(""));
                                })),
                     {{"bad-1", 0}},
                     {"Карточка bad-1: ERROR_Empty response1 for bad-1"},
                     0,
                     nullptr});
    cases.push_back({"OnlyNulBytesAsCard",
                     fixed(Both(BadTradeIs("bad-1"),
                                [](const std::string& t, const Context&) {
                                    return For(t, kCardPath + "bad-1",
                                               OkAnswer(std::string(64, '\0')));
                                })),
                     {{"bad-1", 0}},
                     {"Карточка bad-1: ERROR_Empty response1 for bad-1"},
                     0,
                     nullptr});
    cases.push_back({"NulByteInsideTheCardText",
                     fixed(Both(BadTradeIs("bad-1"),
                                [](const std::string& t, const Context&) {
                                    std::string card = Card();
                                    card.insert(card.find("1234567") + 3, 1, '\0');
                                    return For(t, kCardPath + "bad-1", OkAnswer(card));
                                })),
                     {{"bad-1", 0}},
                     {"Карточка bad-1: ERROR_Invalid JSON response for bad-1"},
                     0,
                     nullptr});
    cases.push_back(
        {"EscapedNulInAValue",
         fixed(Both(BadTradeIs("bad-1"),
                    [](const std::string& t, const Context&) {
                        return For(t, kCardPath + "bad-1", OkAnswer(Card("ООО \\u0000Ноль")));
                    })),
         {{"bad-1", 2}},
         {},
         0,
         [](const ResultsRecords& records, const RecordingReports&, const ScriptedServer&) {
             for (const auto& record : records.rows) {
                 if (record[0].ends_with("/bad-1")) {
                     EXPECT_EQ(record[4], std::string("ООО \0Ноль", 16));
                 }
             }
         }});
    cases.push_back(
        {"InvalidUtf8",
         fixed(Both(BadTradeIs("bad-1"),
                    [](const std::string& t, const Context&) {
                        return For(t, kCardPath + "bad-1",
                                   OkAnswer(Card("ООО \xC3\x28 \xFF\xFE \xED\xA0\x80 Ромашка")));
                    })),
         {{"bad-1", 2}},
         {},
         0,
         [](const ResultsRecords& records, const RecordingReports&, const ScriptedServer&) {
             for (const auto& record : records.rows) {
                 if (record[0].ends_with("/bad-1")) {
                     EXPECT_TRUE(record[4].starts_with("ООО \xEF\xBF\xBD(")) << record[4];
                     EXPECT_TRUE(record[4].ends_with(" Ромашка")) << record[4];
                 }
             }
         }});
    cases.push_back({"JsonNested10000Deep",
                     fixed(Both(BadTradeIs("bad-1"),
                                [](const std::string& t, const Context&) {
                                    const std::string deep =
                                        "{\"message\":" + std::string(10000, '[') +
                                        std::string(10000, ']') + "}";
                                    return For(t, kCardPath + "bad-1", OkAnswer(deep));
                                })),
                     {{"bad-1", 0}},
                     {"Карточка bad-1: ERROR_Invalid JSON response for bad-1"},
                     0,
                     nullptr});
    cases.push_back(
        {"JsonNested10000DeepAsSearchAnswer",
         fixed(SearchAnswer(OkAnswer(std::string(10000, '[') + std::string(10000, ']')))),
         {},
         {": ERROR_Invalid JSON response for https://"},
         0,
         nullptr});
    cases.push_back(
        {"Body100MB",
         fixed(Both(BadTradeIs("bad-1"),
                    [](const std::string& t, const Context&) -> std::optional<Reply> {
                        static const std::string lots = OkAnswer(Lots(std::string(100 << 20, 'z')));
                        return For(t, kCardPath + "bad-1/lots?offset=0&limit=50", lots);
                    })),
         {{"bad-1", 2}},
         {},
         0,
         [](const ResultsRecords& records, const RecordingReports&, const ScriptedServer&) {
             bool seen = false;
             for (const auto& record : records.rows) {
                 if (record[0].ends_with("/bad-1") && record[7] != "Гараж") {
                     seen = true;
                     EXPECT_EQ(record[7], std::string(32000, 'z') + "<cut>");
                 }
             }
             EXPECT_TRUE(seen);
         }});
    cases.push_back({"GzipBomb",
                     fixed(Both(BadTradeIs("bad-1"),
                                [](const std::string& t, const Context&) -> std::optional<Reply> {
                                    static const std::string bomb =
                                        OkAnswer(GzipOfZeros(std::size_t{300} << 20),
                                                 "Content-Encoding: gzip\r\n");
                                    return For(t, kCardPath + "bad-1/lots?offset=0&limit=50", bomb);
                                })),
                     {{"bad-1", 0}},
                     {"Карточка bad-1: ERROR Answer body larger than 256 MiB."},
                     0,
                     nullptr});
    cases.push_back(
        {"HugeFound",
         fixed([](const std::string& t, const Context&) -> std::optional<Reply> {
             if (t.find("tradeType=OpenAuction") == std::string::npos)
                 return std::nullopt;
             // The query of three days reports more than any count can hold; the
             // days it is cut into answer sanely.
             const auto day = t.substr(t.find("tradeStartDate=") + 15, 10);
             if (t.find("tradeEndDate=" + day) == std::string::npos) {
                 return Reply().Send(OkAnswer(Page("999999999999999999999999999999", {"bad-1"})));
             }
             return Reply().Send(OkAnswer(Page("1", {"day-" + day})));
         }),
         {{"bad-1", 0}, {"day-2026-01-01", 2}, {"day-2026-01-02", 2}, {"day-2026-01-03", 2}},
         {"Разбиваем длинный интервал на несколько мелких"},
         0,
         nullptr});
    cases.push_back({"NegativeFound",
                     fixed(SearchAnswer(OkAnswer(Page("-7", {"bad-1"})))),
                     {{"bad-1", 2}},
                     {"Найдено 1 новых торгов на странице"},
                     0,
                     nullptr});
    cases.push_back({"NonNumericFound",
                     fixed(SearchAnswer(OkAnswer(Page("\"много\"", {"bad-1"})))),
                     {{"bad-1", 2}},
                     {"Нашлось много торгов"},
                     0,
                     nullptr});
    cases.push_back(
        {"PageDataNotAnArray",
         fixed(SearchAnswer(OkAnswer("{\"found\":1,\"pageData\":{\"guid\":\"bad-1\"}}"))),
         {},
         {": ERROR_Unusable response for https://",
          "; его страницы и части в этом запуске потеряны"},
         0,
         nullptr});
    // A card or lots answer of the wrong shape is no card: the trade fails and is named, not
    // written with blank columns or without its lots.
    cases.push_back({"CardWithoutItsMembers",
                     fixed(Both(BadTradeIs("bad-1"),
                                [](const std::string& t, const Context&) {
                                    return For(t, kCardPath + "bad-1",
                                               OkAnswer("{\"found\":1,\"pageData\":{}}"));
                                })),
                     {{"bad-1", 0}},
                     {"Карточка bad-1: ERROR_Unusable response for bad-1"},
                     0,
                     nullptr});
    cases.push_back({"LotsPageDataNotAnArray",
                     fixed(Both(BadTradeIs("bad-1"),
                                [](const std::string& t, const Context&) {
                                    return For(t, kCardPath + "bad-1/lots?offset=0&limit=50",
                                               OkAnswer("{\"found\":2,\"pageData\":{}}"));
                                })),
                     {{"bad-1", 0}},
                     {"Карточка bad-1: ERROR_Unusable response for bad-1"},
                     0,
                     nullptr});
    // A card that holds some of its members is written, its blank columns named in the log.
    cases.push_back(
        {"CardWithoutItsDebtor",
         fixed(Both(BadTradeIs("bad-1"),
                    [](const std::string& t, const Context&) {
                        std::string card = Card();
                        card.replace(card.find("\"debtor\""), 8, "\"debtor_\"");
                        return For(t, kCardPath + "bad-1", OkAnswer(card));
                    })),
         {{"bad-1", 2}},
         {"Карточка bad-1: данные неполные (нет debtor)"},
         0,
         [](const ResultsRecords& records, const RecordingReports&, const ScriptedServer&) {
             for (const auto& record : records.rows) {
                 if (record[0].ends_with("/bad-1")) {
                     EXPECT_EQ(record[2], "1234567");
                     EXPECT_EQ(record[4], "");
                 }
             }
         }});
    cases.push_back(
        {"GuidWithBlanksAround", fixed(BadTradeIs("  bad-1\\t ")), {{"bad-1", 2}}, {}, 0, nullptr});
    cases.push_back({"SameGuidAgainWithBlanksAround",
                     fixed(SearchAnswer(OkAnswer(Page("2", {"bad-1", " bad-1 "})))),
                     {{"bad-1", 2}},
                     {},
                     0,
                     nullptr});
    // A guid is a trade's however it reads: one holding "https" is no search address.
    cases.push_back(
        {"GuidHoldingHttps", fixed(BadTradeIs("https-1")), {{"https-1", 2}}, {}, 0, nullptr});
    cases.push_back({"GuidWithABlankInside",
                     fixed(BadTradeIs("bad 1")),
                     {{"bad 1", 0}},
                     {"Карточка bad 1: ERROR"},
                     0,
                     nullptr});
    cases.push_back({"GuidWithSlashes",
                     fixed(BadTradeIs("good-1\\/..\\/..\\/reference-book\\/regions")),
                     {{"good-1/../../reference-book/regions", 0}},
                     {"Карточка good-1/../../reference-book/regions: ERROR"},
                     0,
                     nullptr});
    cases.push_back({"GuidWithControlCharacters",
                     fixed(BadTradeIs("bad-1\\r\\nX-Injected: 1")),
                     {{"bad-1\r\nX-Injected: 1", kAny}},
                     {},
                     0,
                     [](const ResultsRecords&, const RecordingReports&, const ScriptedServer& s) {
                         for (const auto& r : s.Requests())
                             EXPECT_EQ(r.head.find("X-Injected"), std::string::npos) << r.head;
                     }});
    cases.push_back({"GuidWithADoubleQuote",
                     fixed(BadTradeIs("bad\\\"1")),
                     {{"bad\"1", kAny}},
                     {},
                     0,
                     nullptr});
    cases.push_back({"GuidThatIsAnAddressElsewhere",
                     [](const Context& c) { return BadTradeIs(c.elsewhere); },
                     {{"<elsewhere>", kAny}},
                     {},
                     0,
                     nullptr});
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Answers, BadInputTest, ::testing::ValuesIn(Cases()),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace korvalot::soak
