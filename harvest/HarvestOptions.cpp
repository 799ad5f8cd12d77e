#include "harvest/HarvestOptions.h"

#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <numeric>

#include "crawl/SearchQueries.h"

#ifndef KORVALOT_VERSION
#define KORVALOT_VERSION "0"
#endif

namespace korvalot::harvest {
namespace {

std::vector<std::string> CommaList(const std::string& text) {
    std::vector<std::string> items;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find(',', start);
        if (end == std::string::npos)
            end = text.size();
        std::string item = text.substr(start, end - start);
        while (!item.empty() && item.front() == ' ')
            item.erase(item.begin());
        while (!item.empty() && item.back() == ' ')
            item.pop_back();
        if (!item.empty())
            items.push_back(std::move(item));
        start = end + 1;
    }
    return items;
}

bool SameAscii(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i]))
            return false;
    }
    return true;
}

std::string WithoutLeadingZeros(std::string_view code) {
    while (code.size() > 1 && code.front() == '0')
        code.remove_prefix(1);
    return std::string(code);
}

// Creates and removes a file in the folder; the reason when that fails.
std::optional<std::string> CannotWriteIn(const std::filesystem::path& dir) {
    std::error_code error;
    if (!std::filesystem::is_directory(dir, error))
        return std::string("папки нет");
    std::string pattern = (dir / ".korvalot-harvest-XXXXXX").string();
    const int fd = ::mkstemp(pattern.data());
    if (fd < 0)
        return std::string(std::strerror(errno));
    ::close(fd);
    ::unlink(pattern.c_str());
    return std::nullopt;
}

// Option values without a letter of their own.
enum LongOnly { kStore = 1000, kRefresh, kRefreshDays, kSummaryJson, kOutageLimit };

// The folder of a file named on the command line.
std::filesystem::path FolderOf(const std::filesystem::path& file) {
    std::filesystem::path dir = file.parent_path();
    return dir.empty() ? std::filesystem::path(".") : dir;
}

}  // namespace

std::chrono::year_month_day ParseDateOption(const std::string& option, const std::string& text,
                                            std::chrono::year_month_day today) {
    if (text == "today")
        return today;
    if (text == "yesterday")
        return std::chrono::year_month_day{std::chrono::sys_days(today) - std::chrono::days(1)};
    const auto date = crawl::ParseIsoDate(text);
    if (!date || text.size() != 10)
        throw UsageError(option +
                         ": дата должна быть в виде ГГГГ-ММ-ДД, today или yesterday: " + text);
    return *date;
}

bool ParseRegionCodes(const std::string& text, std::vector<std::string>& codes) {
    const auto items = CommaList(text);
    if (items.size() == 1 && items[0] == "all")
        return true;
    codes.insert(codes.end(), items.begin(), items.end());
    return false;
}

std::vector<int> ParseTradeTypes(const std::string& option, const std::string& text) {
    std::vector<int> positions;
    for (const std::string& code : CommaList(text)) {
        int position = -1;
        for (std::size_t k = 0; k < crawl::kTradeTypeCodes.size(); ++k) {
            if (SameAscii(code, crawl::kTradeTypeCodes[k]))
                position = static_cast<int>(k);
        }
        if (position < 0)
            throw UsageError(option + ": неизвестный вид торгов " + code +
                             " (известны OpenAuction, OpenConcours, PublicOffer, "
                             "CloseAuction, CloseConcours, ClosePublicOffer)");
        positions.push_back(position);
    }
    return positions;
}

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
        {nullptr, 0, nullptr, 0},
    };
    HarvestOptions o;
    bool typesGiven = false;
    std::string problem;
    OptionReader reader("korvalot-harvest", args, ":f:t:r:T:o:s:iwvqhV", kLong);
    while (const auto option = reader.Next()) {
        const int c = option->code;
        const std::string& value = option->value;
        switch (c) {
            case 'f':
                o.from = ParseDateOption("--from", value, today);
                break;
            case 't':
                o.to = ParseDateOption("--to", value, today);
                break;
            case 'r':
                o.allRegions = ParseRegionCodes(value, o.regionCodes) || o.allRegions;
                break;
            case 'T': {
                typesGiven = true;
                const std::vector<int> positions = ParseTradeTypes("--types", value);
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
                o.store = true;
                break;
            case kRefreshDays: {
                int days = -1;
                const auto [end, ec] =
                    std::from_chars(value.data(), value.data() + value.size(), days);
                if (ec != std::errc() || end != value.data() + value.size() || days < 0 ||
                    days > 36600)
                    throw UsageError("--refresh-days: нужно число дней от 0 до 36600: " + value);
                o.refreshDays = days;
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
                o.skipFile = value;
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
                if (value.empty())
                    throw UsageError("--summary-json: пустой путь");
                o.summaryJson = value;
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
    if (o.from && o.to && std::chrono::sys_days(*o.from) > std::chrono::sys_days(*o.to))
        throw UsageError("--from позже --to: начало периода после его конца");
    if (!o.allRegions && o.regionCodes.empty())
        throw UsageError("не выбран ни один регион: укажите --regions КОД[,КОД...] или all");
    if (typesGiven && o.tradeTypePositions.empty())
        throw UsageError("--types: не указан ни один вид торгов");
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
    std::vector<std::filesystem::path> created;
    std::error_code error;
    if (!std::filesystem::exists(options.outputDir, error)) {
        std::vector<std::filesystem::path> missing;
        for (std::filesystem::path dir = options.outputDir;
             !dir.empty() && !std::filesystem::exists(dir, error); dir = dir.parent_path()) {
            missing.push_back(dir);
            if (dir == dir.parent_path())
                break;
        }
        for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
            if (::mkdir(it->c_str(), 0777) != 0 && errno != EEXIST) {
                const std::string reason = std::strerror(errno);
                for (auto back = created.rbegin(); back != created.rend(); ++back)
                    ::rmdir(back->c_str());
                throw PlaceError("папку " + options.outputDir.string() + " не создать: " + reason);
            }
            created.push_back(*it);
        }
    }
    const auto check = [&](const std::string& what) {
        for (auto back = created.rbegin(); back != created.rend(); ++back)
            ::rmdir(back->c_str());
        throw PlaceError(what);
    };
    if (const auto reason = CannotWriteIn(options.outputDir))
        check("в папку " + options.outputDir.string() + " нельзя записывать: " + *reason);
    if (!options.storeFile.empty()) {
        if (std::filesystem::is_directory(options.storeFile, error))
            check("--store: " + options.storeFile.string() + " - это папка");
        const std::filesystem::path dir = FolderOf(options.storeFile);
        if (const auto reason = CannotWriteIn(dir))
            check("--store: в папку " + dir.string() + " нельзя записывать: " + *reason);
    }
    if (!options.summaryJson.empty()) {
        if (std::filesystem::is_directory(options.summaryJson, error))
            check("--summary-json: " + options.summaryJson.string() + " - это папка");
        const std::filesystem::path dir = FolderOf(options.summaryJson);
        if (const auto reason = CannotWriteIn(dir))
            check("--summary-json: в папку " + dir.string() + " нельзя записывать: " + *reason);
    }
    if (!options.skipFile.empty()) {
        if (std::filesystem::is_directory(options.skipFile, error))
            check("--skip-file: " + options.skipFile.string() + " - это папка");
        if (options.incremental) {
            const std::filesystem::path dir = FolderOf(options.skipFile);
            if (const auto reason = CannotWriteIn(dir))
                check("--skip-file: в папку " + dir.string() + " нельзя записывать: " + *reason);
            if (std::filesystem::exists(options.skipFile, error) &&
                ::access(options.skipFile.c_str(), W_OK) != 0)
                check("--skip-file: в файл " + options.skipFile.string() +
                      " нельзя записывать: " + std::strerror(errno));
        }
    }
    return created;
}

std::vector<std::string> SelectRegionItems(const std::vector<std::string>& directory,
                                           const HarvestOptions& options) {
    if (options.allRegions)
        return directory;
    std::vector<std::string> wanted;
    for (const std::string& code : options.regionCodes)
        wanted.push_back(WithoutLeadingZeros(code));
    std::vector<bool> met(wanted.size(), false);
    std::vector<std::string> items;
    for (const std::string& item : directory) {
        const std::string code = WithoutLeadingZeros(crawl::ParseRegionItem(item).code);
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
торги), data-...xlsx (книга); ни один файл не заменяется: если имя занято, все файлы
запуска получают следующее свободное (...-2.csv). Справочник регионов загружается из
реестра, как в окне (сертификат 01cert.pem и ключ 01key.pem берутся из текущей папки).

  -r, --regions КОДЫ      коды регионов через запятую (77,50) или all - все регионы
  -T, --types КОДЫ        виды торгов через запятую (по умолчанию все шесть):
                          OpenAuction, OpenConcours, PublicOffer,
                          CloseAuction, CloseConcours, ClosePublicOffer
  -f, --from ДАТА         начало периода: ГГГГ-ММ-ДД, today или yesterday
  -t, --to ДАТА           конец периода (по умолчанию сегодня)
  -o, --output ПАПКА      папка для результатов (по умолчанию текущая; создаётся,
                          если её нет)
  -s, --skip-file ФАЙЛ    список адресов торгов, которые не собирать
                          (по умолчанию ПАПКА/skip.txt)
  -i, --incremental       дописывать собранные торги в skip-файл, чтобы следующий
                          запуск собирал только новые
  -w, --workbook          записать рядом книгу .xlsx с итогами
      --store [ФАЙЛ]      записывать собранные торги и в хранилище (по умолчанию
                          korvalot.sqlite в папке данных программы)
      --refresh           не искать, а заново получить из реестра карточки торгов
                          хранилища, исход которых ещё не известен (выбранные
                          регионы, виды и даты объявления), и записать, что
                          изменилось; skip-файл не меняется
      --refresh-days ДНИ  торги с датой результатов не старше ДНИ дней ещё
                          открыты (по умолчанию 60)
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

Код завершения: 0 - собраны все торги; 1 - часть торгов не собрана или недоступна;
2 - неверные параметры или папка, в которую нельзя записывать (файлы не изменены);
3 - сбор не удалось начать (реестр недоступен, хранилище не открывается, в папке
уже идёт другой сбор);
128 + номер сигнала - сбор остановлен сигналом.
)";
}

std::string VersionText() {
    return std::string("korvalot-harvest ") + KORVALOT_VERSION + "\n";
}

OptionReader::OptionReader(const char* program, const std::vector<std::string>& args,
                           const char* shortOptions, const ::option* longOptions)
    : shortOptions_(shortOptions), longOptions_(longOptions) {
    storage_.reserve(args.size() + 1);
    storage_.emplace_back(program);
    storage_.insert(storage_.end(), args.begin(), args.end());
    for (auto& arg : storage_)
        argv_.push_back(arg.data());
    argv_.push_back(nullptr);
    // getopt keeps its place in globals: start over and keep its own messages to ourselves.
    optind = 0;
    opterr = 0;
    optopt = 0;
}

std::optional<OptionReader::Option> OptionReader::Next() {
    const int argc = static_cast<int>(storage_.size());
    const int c = getopt_long(argc, argv_.data(), shortOptions_, longOptions_, nullptr);
    if (c == -1) {
        if (optind < argc)
            throw UsageError(std::string("лишний аргумент ") + argv_[optind]);
        return std::nullopt;
    }
    if (c == ':' || c == '?') {
        std::string name = optind >= 1 && optind <= argc ? argv_[optind - 1] : "";
        if (optopt > 0 && optopt < 256 && !name.starts_with("--"))
            name = std::string("-") + static_cast<char>(optopt);
        throw UsageError(c == ':' ? "у параметра " + name + " нет значения"
                                  : "неизвестный параметр " + name);
    }
    return Option{c, optarg != nullptr ? optarg : "", optarg != nullptr};
}

std::optional<std::string> OptionReader::TakeFollowingWord() {
    const int argc = static_cast<int>(storage_.size());
    if (optind < argc && argv_[optind][0] != '-')
        return std::string(argv_[optind++]);
    return std::nullopt;
}

}  // namespace korvalot::harvest
