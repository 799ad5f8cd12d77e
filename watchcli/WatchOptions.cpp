#include "watchcli/WatchOptions.h"

#include <getopt.h>

#include <algorithm>
#include <map>

#include "cli/FilterOptions.h"
#include "cli/OptionReader.h"
#include "cli/Places.h"
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
    kBelow,
    kDrop,
    kNoBelow,
    kNoDrop,
    kChannels,
    kRename,
    kReportExisting,
};

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

    std::vector<option> longOptions = {
        {"store", required_argument, nullptr, kStore},
        {"channels-file", required_argument, nullptr, kChannelsFile},
        {"quiet", no_argument, nullptr, 'q'},
        {"summary-json", required_argument, nullptr, kSummaryJson},
    };
    const std::vector<option> filterOptions = cli::FilterLongOptions({});
    longOptions.insert(longOptions.end(), filterOptions.begin(), filterOptions.end());
    longOptions.insert(longOptions.end(),
                       {
                           {"below", required_argument, nullptr, kBelow},
                           {"drop", required_argument, nullptr, kDrop},
                           {"no-below", no_argument, nullptr, kNoBelow},
                           {"no-drop", no_argument, nullptr, kNoDrop},
                           {"channels", required_argument, nullptr, kChannels},
                           {"rename", required_argument, nullptr, kRename},
                           {"report-existing", no_argument, nullptr, kReportExisting},
                           {nullptr, 0, nullptr, 0},
                       });
    cli::FilterOptions filter(today);
    bool filterGiven = false;
    const std::string shortOptions = std::string(":q") + cli::kFilterShortOptions;
    cli::OptionReader reader(
        "korvalot-watch",
        std::vector<std::string>(args.begin() + static_cast<long>(next), args.end()),
        shortOptions.c_str(), longOptions.data());
    while (const auto option = reader.Next()) {
        const std::string& value = option->value;
        if (filter.Take(option->code, value)) {
            filterGiven = true;
            continue;
        }
        switch (option->code) {
            case kStore:
                o.storeFile = cli::PathValue("--store", value);
                break;
            case kChannelsFile:
                o.channelsFile = cli::PathValue("--channels-file", value);
                break;
            case 'q':
                o.quiet = true;
                break;
            case kSummaryJson:
                o.summaryJson = cli::PathValue("--summary-json", value);
                break;
            case kBelow:
                o.below = cli::ParsePrice("--below", value);
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
    filter.Finish();
    o.filter = filter.Filter();
    o.filterGiven = filter.Given();
    return o;
}

void ApplyFilter(const WatchOptions& o, store::TradeFilter& filter) {
    const cli::FilterGiven& given = o.filterGiven;
    if (given.regions)
        filter.regionCodes = o.filter.regionCodes;
    if (given.types)
        filter.tradeTypes = o.filter.tradeTypes;
    if (given.from)
        filter.from = o.filter.from;
    if (given.to)
        filter.to = o.filter.to;
    if (given.announcedFrom)
        filter.announcedFrom = o.filter.announcedFrom;
    if (given.announcedTo)
        filter.announcedTo = o.filter.announcedTo;
    if (given.priceFrom)
        filter.startPriceFrom = o.filter.startPriceFrom;
    if (given.priceTo)
        filter.startPriceTo = o.filter.startPriceTo;
    if (given.currentFrom)
        filter.currentPriceFrom = o.filter.currentPriceFrom;
    if (given.currentTo)
        filter.currentPriceTo = o.filter.currentPriceTo;
    if (given.open)
        filter.openOnly = true;
    if (given.words)
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
