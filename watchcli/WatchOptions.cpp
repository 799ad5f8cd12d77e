#include "watchcli/WatchOptions.h"

#include <getopt.h>

#include <algorithm>
#include <charconv>
#include <map>
#include <numeric>

#include "cli/OptionReader.h"
#include "cli/SelectionOptions.h"
#include "crawl/SearchQueries.h"
#include "store/StoredValues.h"
#include "watch/WatchChannels.h"

#ifndef KORVALOT_VERSION
#define KORVALOT_VERSION "0"
#endif

namespace korvalot::watchcli {
namespace {

using cli::UsageError;

enum LongOnly {
    kStore = 1000,
    kChannelsFile,
    kSummaryJson,
    kAnnouncedFrom,
    kAnnouncedTo,
    kPriceFrom,
    kPriceTo,
    kCurrentPriceFrom,
    kCurrentPriceTo,
    kOpen,
    kWords,
    kBelow,
    kDrop,
    kNoBelow,
    kNoDrop,
    kChannels,
    kRename,
    kReportExisting,
};

double ParsePrice(const std::string& option, const std::string& text) {
    // Either separator, as korvalot-export takes them.
    const auto value = store::PriceValue(text, ",");
    if (!value || *value < 0)
        throw UsageError(option + ": нужна цена в рублях (1500000 или 1500000,50): " + text);
    return *value;
}

double ParsePercent(const std::string& option, const std::string& text) {
    const auto value = store::PriceValue(text, ",");
    if (!value || *value <= 0 || *value >= 100)
        throw UsageError(option + ": нужен процент больше 0 и меньше 100: " + text);
    return *value;
}

std::vector<std::string> ParseChannels(const std::string& text) {
    std::vector<std::string> names;
    std::size_t begin = 0;
    while (begin <= text.size()) {
        const std::size_t end = std::min(text.find(',', begin), text.size());
        const std::string name = text.substr(begin, end - begin);
        const auto& known = watch::ChannelNames();
        if (std::find(known.begin(), known.end(), name) == known.end()) {
            std::string list;
            for (const std::string& k : known)
                list += (list.empty() ? "" : ", ") + k;
            throw UsageError("--channels: нет канала \"" + name + "\" (есть: " + list + ")");
        }
        if (std::find(names.begin(), names.end(), name) == names.end())
            names.push_back(name);
        begin = end + 1;
    }
    return names;
}

}  // namespace

WatchOptions ParseWatchOptions(const std::vector<std::string>& args,
                               std::chrono::year_month_day today) {
    WatchOptions o;
    if (args.empty())
        throw UsageError("не указана команда: add, change, list, remove, show, check или test");
    if (args[0] == "--help" || args[0] == "-h") {
        o.help = true;
        return o;
    }
    if (args[0] == "--version" || args[0] == "-V") {
        o.version = true;
        return o;
    }
    static const std::map<std::string, Command> kCommands = {
        {"add", Command::Add},       {"change", Command::Change}, {"list", Command::List},
        {"remove", Command::Remove}, {"show", Command::Show},     {"check", Command::Check},
        {"test", Command::Test}};
    const auto command = kCommands.find(args[0]);
    if (command == kCommands.end())
        throw UsageError("неизвестная команда: " + args[0]);
    o.command = command->second;
    std::size_t next = 1;
    // The watches named come before the options.
    while (next < args.size() && !args[next].empty() && args[next][0] != '-')
        o.names.push_back(args[next++]);
    const bool oneName = o.command != Command::List && o.command != Command::Check;
    if (oneName && o.names.size() != 1)
        throw UsageError(args[0] + ": нужно одно имя наблюдения");
    if (o.command == Command::List && !o.names.empty())
        throw UsageError("list: имена не указывают");
    for (const std::string& name : o.names) {
        if (name.find(',') != std::string::npos || name.find('\n') != std::string::npos)
            throw UsageError("имя наблюдения без запятых и переводов строки: " + name);
    }

    static const option kLong[] = {
        {"store", required_argument, nullptr, kStore},
        {"channels-file", required_argument, nullptr, kChannelsFile},
        {"quiet", no_argument, nullptr, 'q'},
        {"summary-json", required_argument, nullptr, kSummaryJson},
        {"regions", required_argument, nullptr, 'r'},
        {"types", required_argument, nullptr, 'T'},
        {"from", required_argument, nullptr, 'f'},
        {"to", required_argument, nullptr, 't'},
        {"announced-from", required_argument, nullptr, kAnnouncedFrom},
        {"announced-to", required_argument, nullptr, kAnnouncedTo},
        {"price-from", required_argument, nullptr, kPriceFrom},
        {"price-to", required_argument, nullptr, kPriceTo},
        {"current-price-from", required_argument, nullptr, kCurrentPriceFrom},
        {"current-price-to", required_argument, nullptr, kCurrentPriceTo},
        {"open", no_argument, nullptr, kOpen},
        {"words", required_argument, nullptr, kWords},
        {"below", required_argument, nullptr, kBelow},
        {"drop", required_argument, nullptr, kDrop},
        {"no-below", no_argument, nullptr, kNoBelow},
        {"no-drop", no_argument, nullptr, kNoDrop},
        {"channels", required_argument, nullptr, kChannels},
        {"rename", required_argument, nullptr, kRename},
        {"report-existing", no_argument, nullptr, kReportExisting},
        {nullptr, 0, nullptr, 0},
    };
    bool allRegions = false;
    std::vector<std::string> regions;
    std::vector<int> types;
    bool filterGiven = false;
    cli::OptionReader reader(
        "korvalot-watch",
        std::vector<std::string>(args.begin() + static_cast<long>(next), args.end()),
        ":qr:T:f:t:", kLong);
    while (const auto option = reader.Next()) {
        const std::string& value = option->value;
        const bool filterOption = option->code == 'r' || option->code == 'T' ||
                                  option->code == 'f' || option->code == 't' ||
                                  (option->code >= kAnnouncedFrom && option->code <= kWords);
        filterGiven = filterGiven || filterOption;
        switch (option->code) {
            case kStore:
                if (value.empty())
                    throw UsageError("--store: пустой путь");
                o.storeFile = value;
                break;
            case kChannelsFile:
                if (value.empty())
                    throw UsageError("--channels-file: пустой путь");
                o.channelsFile = value;
                break;
            case 'q':
                o.quiet = true;
                break;
            case kSummaryJson:
                if (value.empty())
                    throw UsageError("--summary-json: пустой путь");
                o.summaryJson = value;
                break;
            case 'r':
                o.regionsGiven = true;
                allRegions = cli::ParseRegionCodes("--regions", value, regions) || allRegions;
                break;
            case 'T': {
                o.typesGiven = true;
                const std::vector<int> positions = cli::ParseTradeTypes("--types", value);
                types.insert(types.end(), positions.begin(), positions.end());
                break;
            }
            case 'f':
                o.fromGiven = true;
                o.filter.from = cli::ParseDateOption("--from", value, today);
                break;
            case 't':
                o.toGiven = true;
                o.filter.to = cli::ParseDateOption("--to", value, today);
                break;
            case kAnnouncedFrom:
                o.announcedFromGiven = true;
                o.filter.announcedFrom = cli::ParseDateOption("--announced-from", value, today);
                break;
            case kAnnouncedTo:
                o.announcedToGiven = true;
                o.filter.announcedTo = cli::ParseDateOption("--announced-to", value, today);
                break;
            case kPriceFrom:
                o.priceFromGiven = true;
                o.filter.startPriceFrom = ParsePrice("--price-from", value);
                break;
            case kPriceTo:
                o.priceToGiven = true;
                o.filter.startPriceTo = ParsePrice("--price-to", value);
                break;
            case kCurrentPriceFrom:
                o.currentFromGiven = true;
                o.filter.currentPriceFrom = ParsePrice("--current-price-from", value);
                break;
            case kCurrentPriceTo:
                o.currentToGiven = true;
                o.filter.currentPriceTo = ParsePrice("--current-price-to", value);
                break;
            case kOpen:
                o.openGiven = true;
                o.filter.openOnly = true;
                break;
            case kWords: {
                o.wordsGiven = true;
                const std::vector<std::string> words = cli::ParseWords("--words", value);
                o.filter.words.insert(o.filter.words.end(), words.begin(), words.end());
                break;
            }
            case kBelow:
                o.below = ParsePrice("--below", value);
                break;
            case kDrop:
                o.drop = ParsePercent("--drop", value);
                break;
            case kNoBelow:
                o.noBelow = true;
                break;
            case kNoDrop:
                o.noDrop = true;
                break;
            case kChannels:
                o.channels = ParseChannels(value);
                break;
            case kRename:
                if (value.empty() || value.find(',') != std::string::npos)
                    throw UsageError("--rename: нужно имя без запятых");
                o.rename = value;
                break;
            case kReportExisting:
                o.reportExisting = true;
                break;
        }
    }
    const bool settings = filterGiven || o.below || o.drop || o.noBelow || o.noDrop || o.channels ||
                          o.rename || o.reportExisting;
    if (settings && o.command != Command::Add && o.command != Command::Change)
        throw UsageError("параметры наблюдения указывают только с add и change");
    if (o.reportExisting && o.command != Command::Add)
        throw UsageError("--report-existing указывают только с add");
    if (o.rename && o.command != Command::Change)
        throw UsageError("--rename указывают только с change");
    if ((o.below && o.noBelow) || (o.drop && o.noDrop))
        throw UsageError("--below с --no-below или --drop с --no-drop вместе не указывают");
    if (o.command == Command::Change && !settings)
        throw UsageError("change: не указано, что изменить");
    cli::CheckDateOrder("--from", o.filter.from, "--to", o.filter.to);
    cli::CheckDateOrder("--announced-from", o.filter.announcedFrom, "--announced-to",
                        o.filter.announcedTo);
    if (o.filter.startPriceFrom && o.filter.startPriceTo &&
        *o.filter.startPriceFrom > *o.filter.startPriceTo)
        throw UsageError("--price-from больше --price-to");
    if (o.filter.currentPriceFrom && o.filter.currentPriceTo &&
        *o.filter.currentPriceFrom > *o.filter.currentPriceTo)
        throw UsageError("--current-price-from больше --current-price-to");
    if (allRegions && !regions.empty())
        throw UsageError("--regions: all вместе с кодами регионов не указывают");
    if (!o.typesGiven) {
        types.resize(crawl::kTradeTypeCodes.size());
        std::iota(types.begin(), types.end(), 0);
    }
    const store::TradeFilter selection = store::SelectionFilter(regions, types, {}, {});
    o.filter.regionCodes = selection.regionCodes;
    o.filter.tradeTypes = selection.tradeTypes;
    return o;
}

void ApplyFilter(const WatchOptions& o, store::TradeFilter& filter) {
    if (o.regionsGiven)
        filter.regionCodes = o.filter.regionCodes;
    if (o.typesGiven)
        filter.tradeTypes = o.filter.tradeTypes;
    if (o.fromGiven)
        filter.from = o.filter.from;
    if (o.toGiven)
        filter.to = o.filter.to;
    if (o.announcedFromGiven)
        filter.announcedFrom = o.filter.announcedFrom;
    if (o.announcedToGiven)
        filter.announcedTo = o.filter.announcedTo;
    if (o.priceFromGiven)
        filter.startPriceFrom = o.filter.startPriceFrom;
    if (o.priceToGiven)
        filter.startPriceTo = o.filter.startPriceTo;
    if (o.currentFromGiven)
        filter.currentPriceFrom = o.filter.currentPriceFrom;
    if (o.currentToGiven)
        filter.currentPriceTo = o.filter.currentPriceTo;
    if (o.openGiven)
        filter.openOnly = true;
    if (o.wordsGiven)
        filter.words = o.filter.words;
}

std::string HelpText() {
    return R"(Использование: korvalot-watch КОМАНДА [ИМЯ] [параметры]

Наблюдения - сохранённые поиски по хранилищу торгов (korvalot-harvest --store):
каждое сообщает, что нового среди выбранных им лотов, один раз и не дважды, через
свои каналы (почта, telegram, webhook, лента, вывод; их настройки - в channels.ini
папки данных программы). Новости: новый лот; текущая цена опустилась ниже порога
(--below; снова - только после того, как сбор видел её не ниже порога); цена
снизилась на процент от последней сообщённой (--drop); известен итог (итоговая
цена и победитель); изменилась дата результатов торгов.

Команды:
  add ИМЯ                   новое наблюдение; сообщает о том, что появится после
                            этой минуты (--report-existing: и о том, что уже есть)
  change ИМЯ                изменить наблюдение: указанные параметры заменяют свои
  list                      все наблюдения
  remove ИМЯ                удалить наблюдение
  show ИМЯ                  что наблюдение сообщило бы сейчас, ничего не отправляя
  check [ИМЯ...]            отправить новости со времени последней доставки
                            (по умолчанию всех наблюдений) через их каналы
  test ИМЯ                  пробное сообщение через каждый канал наблюдения

Параметры:
      --store ФАЙЛ          хранилище (по умолчанию korvalot.sqlite в папке данных
                            программы)
      --channels-file ФАЙЛ  настройки каналов (по умолчанию channels.ini в папке
                            данных программы); каналу вывод они не нужны
  -q, --quiet               ничего не выводить в поток ошибок, если всё доставлено
      --summary-json ФАЙЛ   записать итог в ФАЙЛ (JSON)
  -r, --regions КОДЫ        коды регионов через запятую (77,50) или all
  -T, --types КОДЫ          виды торгов через запятую: OpenAuction, OpenConcours,
                            PublicOffer, CloseAuction, CloseConcours,
                            ClosePublicOffer
  -f, --from ДАТА           дата торгов не раньше: ГГГГ-ММ-ДД, today или yesterday
  -t, --to ДАТА             дата торгов не позже
      --announced-from ДАТА
                            дата объявления о торгах не раньше
      --announced-to ДАТА   дата объявления о торгах не позже
      --price-from ЦЕНА     начальная цена лота не меньше (1500000 или 1500000,50)
      --price-to ЦЕНА       начальная цена лота не больше
      --current-price-from ЦЕНА
                            итоговая цена лота не меньше
      --current-price-to ЦЕНА
                            итоговая цена лота не больше
      --open                только лоты, итог которых ещё не ясен
      --words СЛОВА         слова в описании лота или наименовании должника, все
                            сразу, без учёта регистра; слово* - любое слово, которое
                            с него начинается
      --below ЦЕНА          сообщать, когда текущая цена лота опустится ниже
      --drop ПРОЦЕНТ        сообщать, когда текущая цена снизится на столько
                            процентов от последней сообщённой
      --no-below            (change) больше не следить за порогом цены
      --no-drop             (change) больше не следить за снижением цены
      --channels КАНАЛЫ     каналы через запятую: почта, telegram, webhook, лента,
                            вывод (по умолчанию вывод); добавленный канал получает
                            новости с этой минуты
      --rename ИМЯ          (change) новое имя
      --report-existing     (add) сообщить и о лотах, которые уже есть в хранилище
  -h, --help                эта справка
  -V, --version             версия

Канал, который не принял новости, назван в потоке ошибок и в итоге; следующая
проверка доставит ему всё, что он не получил, одним сообщением.

Код завершения: 0 - сделано, все новости доставлены; 1 - какой-то канал не принял
новости; 2 - неверные параметры или нет такого наблюдения; 3 - хранилище не
открывается или не записывается.
)";
}

std::string VersionText() {
    return std::string("korvalot-watch ") + KORVALOT_VERSION + "\n";
}

}  // namespace korvalot::watchcli
