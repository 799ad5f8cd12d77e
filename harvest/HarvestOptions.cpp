#include "harvest/HarvestOptions.h"

#include <fcntl.h>
#include <getopt.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <numeric>

#include "cli/OptionReader.h"
#include "cli/Places.h"
#include "cli/SelectionOptions.h"
#include "crawl/SearchQueries.h"

#ifndef KORVALOT_VERSION
#define KORVALOT_VERSION "0"
#endif

namespace korvalot::harvest {
namespace {

// Option values without a letter of their own.
enum LongOnly {
    kStore = 1000,
    kRefresh,
    kRefreshDays,
    kSummaryJson,
    kOutageLimit,
    kNotify,
    kChannelsFile,
};

}  // namespace

HarvestOptions ParseHarvestOptions(const std::vector<std::string>& args,
                                   std::chrono::year_month_day today) {
    static const option kLong[] = {
        {"from", required_argument, nullptr, 'f'},
        {"to", required_argument, nullptr, 't'},
        {"regions", required_argument, nullptr, 'r'},
        {"types", required_argument, nullptr, 'T'},
        {"output", required_argument, nullptr, 'o'},
        {"skip-file", required_argument, nullptr, 's'},
        {"incremental", no_argument, nullptr, 'i'},
        {"workbook", no_argument, nullptr, 'w'},
        {"verbose", no_argument, nullptr, 'v'},
        {"quiet", no_argument, nullptr, 'q'},
        {"summary-json", required_argument, nullptr, kSummaryJson},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},
        {"store", optional_argument, nullptr, kStore},
        {"refresh", no_argument, nullptr, kRefresh},
        {"refresh-days", required_argument, nullptr, kRefreshDays},
        {"outage-limit", required_argument, nullptr, kOutageLimit},
        {"notify", no_argument, nullptr, kNotify},
        {"channels-file", required_argument, nullptr, kChannelsFile},
        {nullptr, 0, nullptr, 0},
    };
    HarvestOptions o;
    bool typesGiven = false;
    bool refreshDaysGiven = false;
    bool skipFileGiven = false;
    cli::OptionReader reader("korvalot-harvest", args, ":f:t:r:T:o:s:iwvqhV", kLong);
    while (const auto option = reader.Next()) {
        const int c = option->code;
        const std::string& value = option->value;
        switch (c) {
            case 'f':
                o.from = cli::ParseDateOption("--from", value, today);
                break;
            case 't':
                o.to = cli::ParseDateOption("--to", value, today);
                break;
            case 'r':
                o.allRegions =
                    cli::ParseRegionCodes("--regions", value, o.regionCodes) || o.allRegions;
                break;
            case 'T': {
                typesGiven = true;
                const std::vector<int> positions = cli::ParseTradeTypes("--types", value);
                o.tradeTypePositions.insert(o.tradeTypePositions.end(), positions.begin(),
                                            positions.end());
                break;
            }
            case kStore:
                o.store = true;
                // "--store PATH" as well as "--store=PATH": the program takes no other
                // arguments, so a word that is not an option after it can only be its file.
                if (option->hasValue) {
                    o.storeFile = value;
                } else if (auto file = reader.TakeFollowingWord()) {
                    o.storeFile = std::move(*file);
                }
                if (option->hasValue && value.empty())
                    throw UsageError("--store: пустой путь");
                break;
            case kRefresh:
                o.refresh = true;
                break;
            case kRefreshDays: {
                int days = -1;
                const auto [end, ec] =
                    std::from_chars(value.data(), value.data() + value.size(), days);
                if (ec != std::errc() || end != value.data() + value.size() || days < 0 ||
                    days > 36600)
                    throw UsageError("--refresh-days: нужно число дней от 0 до 36600: " + value);
                o.refreshDays = days;
                refreshDaysGiven = true;
                break;
            }
            case kOutageLimit: {
                int minutes = -1;
                const auto [end, ec] =
                    std::from_chars(value.data(), value.data() + value.size(), minutes);
                if (ec != std::errc() || end != value.data() + value.size() || minutes < 0 ||
                    minutes > 525600)
                    throw UsageError("--outage-limit: нужно число минут от 0 до 525600: " + value);
                o.outageLimitMinutes = minutes;
                break;
            }
            case 'o':
                o.outputDir = value;
                break;
            case 's':
                o.skipFile = cli::PathValue("--skip-file", value);
                skipFileGiven = true;
                break;
            case 'i':
                o.incremental = true;
                break;
            case 'w':
                o.workbook = true;
                break;
            case 'v':
                o.verbose = true;
                break;
            case 'q':
                o.quiet = true;
                break;
            case kSummaryJson:
                o.summaryJson = cli::PathValue("--summary-json", value);
                break;
            case kNotify:
                o.notify = true;
                break;
            case kChannelsFile:
                o.channelsFile = cli::PathValue("--channels-file", value);
                break;
            case 'h':
                o.help = true;
                break;
            case 'V':
                o.version = true;
                break;
        }
    }
    if (o.help || o.version)
        return o;
    cli::CheckDateOrder("--from", o.from, "--to", o.to);
    if (!o.allRegions && o.regionCodes.empty())
        throw UsageError("не выбран ни один регион: укажите --regions КОД[,КОД...] или all");
    if (o.allRegions && !o.regionCodes.empty())
        throw UsageError("--regions: all вместе с кодами регионов не указывают");
    // An option that would change nothing in this combination is a mistake in the words, not
    // something to pass over in silence.
    if (o.refresh && !o.store)
        throw UsageError("--refresh без --store: обновлять нечего, укажите хранилище");
    if (o.refresh && o.incremental)
        throw UsageError(
            "--incremental и --refresh вместе не указывают: обновление не меняет "
            "skip-файл");
    if (o.refresh && skipFileGiven)
        throw UsageError(
            "--skip-file и --refresh вместе не указывают: обновление не читает "
            "skip-файл");
    if (o.notify && !o.store)
        throw UsageError("--notify без --store: наблюдения хранятся в хранилище, укажите его");
    if (!o.channelsFile.empty() && !o.notify)
        throw UsageError("--channels-file без --notify ничего не меняет");
    if (refreshDaysGiven && !o.refresh)
        throw UsageError("--refresh-days без --refresh ничего не меняет");
    if (!typesGiven) {
        o.tradeTypePositions.resize(crawl::kTradeTypeCodes.size());
        std::iota(o.tradeTypePositions.begin(), o.tradeTypePositions.end(), 0);
    } else {
        // The list's order, each type once, as the window hands them over.
        std::ranges::sort(o.tradeTypePositions);
        const auto repeated = std::ranges::unique(o.tradeTypePositions);
        o.tradeTypePositions.erase(repeated.begin(), repeated.end());
    }
    if (o.outputDir.empty())
        throw UsageError("--output: пустой путь");
    if (o.quiet && o.verbose)
        throw UsageError("--quiet и --verbose вместе не указывают");
    return o;
}

std::vector<std::filesystem::path> CheckOutputPlaces(const HarvestOptions& options) {
    // A scheduled run's first morning: the folder its files go to is made, as mkdir -p would.
    const std::vector<std::filesystem::path> created = cli::MakeFolders(options.outputDir);
    const auto check = [&](const std::string& what) {
        cli::RemoveFolders(created);
        throw PlaceError(what);
    };
    std::error_code error;
    if (const auto reason = cli::WhyNotWritable(options.outputDir))
        check("в папку " + options.outputDir.string() + " нельзя записывать: " + *reason);
    if (!options.summaryJson.empty()) {
        if (std::filesystem::is_directory(options.summaryJson, error))
            check("--summary-json: " + options.summaryJson.string() + " - это папка");
        const std::filesystem::path dir = cli::FolderOf(options.summaryJson);
        if (const auto reason = cli::WhyNotWritable(dir))
            check("--summary-json: в папку " + dir.string() + " нельзя записывать: " + *reason);
    }
    if (!options.skipFile.empty()) {
        if (std::filesystem::is_directory(options.skipFile, error))
            check("--skip-file: " + options.skipFile.string() + " - это папка");
        if (options.incremental) {
            const std::filesystem::path dir = cli::FolderOf(options.skipFile);
            if (const auto reason = cli::WhyNotWritable(dir))
                check("--skip-file: в папку " + dir.string() + " нельзя записывать: " + *reason);
            // Opened for appending and closed, which changes nothing in it.
            if (std::filesystem::exists(options.skipFile, error)) {
                const int fd = ::open(options.skipFile.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
                if (fd < 0)
                    check("--skip-file: в файл " + options.skipFile.string() +
                          " нельзя записывать: " + std::strerror(errno));
                ::close(fd);
            }
        }
    }
    return created;
}

std::vector<std::filesystem::path> CheckStorePlace(const std::filesystem::path& storeFile) {
    std::error_code error;
    if (std::filesystem::is_directory(storeFile, error))
        throw PlaceError("--store: " + storeFile.string() + " - это папка");
    const std::filesystem::path dir = cli::FolderOf(storeFile);
    std::vector<std::filesystem::path> created;
    try {
        created = cli::MakeFolders(dir);
    } catch (const PlaceError& e) {
        throw PlaceError(std::string("--store: ") + e.what());
    }
    if (const auto reason = cli::WhyNotWritable(dir)) {
        cli::RemoveFolders(created);
        throw PlaceError("--store: в папку " + dir.string() + " нельзя записывать: " + *reason);
    }
    return created;
}

std::vector<std::string> SelectRegionItems(const std::vector<std::string>& directory,
                                           const HarvestOptions& options) {
    if (options.allRegions)
        return directory;
    std::vector<std::string> wanted;
    for (const std::string& code : options.regionCodes)
        wanted.push_back(crawl::NormalRegionCode(code));
    std::vector<bool> met(wanted.size(), false);
    std::vector<std::string> items;
    for (const std::string& item : directory) {
        const std::string code = crawl::NormalRegionCode(crawl::ParseRegionItem(item).code);
        bool selected = false;
        for (std::size_t k = 0; k < wanted.size(); ++k) {
            if (wanted[k] == code) {
                met[k] = true;
                selected = true;
            }
        }
        if (selected)
            items.push_back(item);
    }
    for (std::size_t k = 0; k < wanted.size(); ++k) {
        if (!met[k])
            throw UsageError("--regions: в справочнике реестра нет региона с кодом " +
                             options.regionCodes[k]);
    }
    return items;
}

std::string HelpText() {
    return R"(Использование: korvalot-harvest --regions КОДЫ [параметры]

Собирает торги из реестра так же, как окно korvalot, для запуска по расписанию (cron,
таймеры systemd). Файлы запуска названы по местным дате и времени его начала:
data-ГГГГ-ММ-ДД_ЧЧММСС.csv (результаты), log-...txt (лог), guids-...txt (найденные
торги), data-...xlsx (книга); у обновления (--refresh) перед датой стоит refresh-:
data-refresh-ГГГГ-ММ-ДД_ЧЧММСС.csv и так далее. Ни один файл не заменяется: если имя
занято, все файлы запуска получают следующее свободное (...-2.csv). Справочник
регионов загружается из реестра, как в окне (сертификат 01cert.pem и ключ 01key.pem
берутся из текущей папки).

  -r, --regions КОДЫ      коды регионов через запятую (77,50; код - число от 1 до 99)
                          или all - все регионы
  -T, --types КОДЫ        виды торгов через запятую (по умолчанию все шесть):
                          OpenAuction, OpenConcours, PublicOffer,
                          CloseAuction, CloseConcours, ClosePublicOffer
  -f, --from ДАТА         начало периода по дате торгов (по ней ищет реестр):
                          ГГГГ-ММ-ДД, today или yesterday
  -t, --to ДАТА           конец периода по дате торгов (по умолчанию сегодня)
  -o, --output ПАПКА      папка для результатов (по умолчанию текущая; создаётся,
                          если её нет)
  -s, --skip-file ФАЙЛ    список адресов торгов, которые не собирать
                          (по умолчанию ПАПКА/skip.txt; не с --refresh)
  -i, --incremental       дописывать собранные торги в skip-файл, чтобы следующий
                          запуск собирал только новые (не с --refresh)
  -w, --workbook          записать рядом книгу .xlsx с итогами
      --store [ФАЙЛ]      записывать собранные торги и в хранилище (по умолчанию
                          korvalot.sqlite в папке данных программы; папка
                          создаётся, если её нет)
      --refresh           не искать, а заново получить из реестра карточки торгов
                          хранилища, исход которых ещё не известен (выбранные
                          регионы, виды и даты торгов), и записать, что
                          изменилось; skip-файл не читается и не меняется;
                          только с --store
      --refresh-days ДНИ  торги с датой результатов не старше ДНИ дней ещё
                          открыты (по умолчанию 60; только с --refresh)
      --notify            после сбора или обновления проверить наблюдения
                          хранилища (korvalot-watch check) и отправить их новости;
                          только с --store
      --channels-file ФАЙЛ
                          настройки каналов для --notify (по умолчанию
                          channels.ini в папке данных программы)
      --outage-limit МИН  сколько ждать реестр, который перестал отвечать, прежде
                          чем закончить сбор (по умолчанию 120 минут)
  -v, --verbose           выводить все строки лога
  -q, --quiet             ничего не выводить, если сбор прошёл без ошибок
      --summary-json ФАЙЛ
                          записать в конце итоги запуска одним объектом JSON
                          (счётчики, файлы, код завершения, время)
  -h, --help              эта справка
  -V, --version           версия

Ход работы выводится в стандартный поток ошибок, в конце - итоги и записанные файлы.
SIGINT и SIGTERM останавливают сбор, как кнопка Стоп: файлы содержат целые строки,
лог записывается; во время загрузки справочника - сразу.

Адрес реестра: переменная окружения KORVALOT_REGISTER_URL.

Код завершения: 0 - собраны все торги; 1 - часть торгов не собрана или недоступна,
или какой-то канал наблюдений (--notify) не принял новости;
2 - неверные параметры, или папку результатов, skip-файла или сводки не создать или
в неё нельзя записывать (файлы не изменены);
3 - сбор не удалось начать: хранилище не открывается (не база данных, занято,
записано более новой версией, не записывается, ФАЙЛ - это папка, его папку не
создать или в неё нельзя записывать), справочник регионов не загружен, в папке
уже идёт другой сбор, файл результатов не создать;
128 + номер сигнала - сбор остановлен сигналом.
)";
}

std::string VersionText() {
    return std::string("korvalot-harvest ") + KORVALOT_VERSION + "\n";
}

}  // namespace korvalot::harvest
