#include "export/ExportOptions.h"

#include <getopt.h>

#include <charconv>
#include <numeric>

#include "cli/OptionReader.h"
#include "cli/Places.h"
#include "cli/SelectionOptions.h"
#include "crawl/SearchQueries.h"
#include "store/StoredValues.h"

#ifndef KORVALOT_VERSION
#define KORVALOT_VERSION "0"
#endif

namespace korvalot::exporting {
namespace {

using cli::PlaceError;
using cli::UsageError;

enum LongOnly {
    kStore = 1000,
    kPriceFrom,
    kPriceTo,
    kWords,
    kChangedSince,
    kNewSince,
    kAnnouncedFrom,
    kAnnouncedTo,
    kCurrentPriceFrom,
    kCurrentPriceTo,
    kOpen,
    kOpenDays,
};

double ParsePrice(const std::string& option, const std::string& text) {
    // Either separator: "1500000,50" as a Russian desktop writes it, "1500000.50" as the
    // register does.
    const auto value = store::PriceValue(text, ",");
    if (!value || *value < 0)
        throw UsageError(option + ": нужна цена в рублях (1500000 или 1500000,50): " + text);
    return *value;
}

}  // namespace

ExportOptions ParseExportOptions(const std::vector<std::string>& args,
                                 std::chrono::year_month_day today) {
    static const option kLong[] = {
        {"store", required_argument, nullptr, kStore},
        {"output", required_argument, nullptr, 'o'},
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
        {"open-days", required_argument, nullptr, kOpenDays},
        {"words", required_argument, nullptr, kWords},
        {"changed-since", required_argument, nullptr, kChangedSince},
        {"new-since", required_argument, nullptr, kNewSince},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},
        {nullptr, 0, nullptr, 0},
    };
    ExportOptions o;
    bool allRegions = false;
    std::vector<std::string> regions;
    std::vector<int> types;
    bool typesGiven = false;
    bool outputGiven = false;
    bool openDaysGiven = false;
    cli::OptionReader reader("korvalot-export", args, ":o:r:T:f:t:hV", kLong);
    while (const auto option = reader.Next()) {
        const int c = option->code;
        const std::string& value = option->value;
        switch (c) {
            case kStore:
                if (value.empty())
                    throw UsageError("--store: пустой путь");
                o.storeFile = value;
                break;
            case 'o':
                outputGiven = true;
                o.output = value;
                break;
            case 'r':
                allRegions = cli::ParseRegionCodes("--regions", value, regions) || allRegions;
                break;
            case 'T': {
                typesGiven = true;
                const std::vector<int> positions = cli::ParseTradeTypes("--types", value);
                types.insert(types.end(), positions.begin(), positions.end());
                break;
            }
            case 'f':
                o.filter.from = cli::ParseDateOption("--from", value, today);
                break;
            case 't':
                o.filter.to = cli::ParseDateOption("--to", value, today);
                break;
            case kAnnouncedFrom:
                o.filter.announcedFrom = cli::ParseDateOption("--announced-from", value, today);
                break;
            case kAnnouncedTo:
                o.filter.announcedTo = cli::ParseDateOption("--announced-to", value, today);
                break;
            case kPriceFrom:
                o.filter.startPriceFrom = ParsePrice("--price-from", value);
                break;
            case kPriceTo:
                o.filter.startPriceTo = ParsePrice("--price-to", value);
                break;
            case kCurrentPriceFrom:
                o.filter.currentPriceFrom = ParsePrice("--current-price-from", value);
                break;
            case kCurrentPriceTo:
                o.filter.currentPriceTo = ParsePrice("--current-price-to", value);
                break;
            case kOpen:
                o.filter.openOnly = true;
                break;
            case kOpenDays: {
                openDaysGiven = true;
                int days = -1;
                const auto [end, ec] =
                    std::from_chars(value.data(), value.data() + value.size(), days);
                if (ec != std::errc() || end != value.data() + value.size() || days < 0 ||
                    days > 36600)
                    throw UsageError("--open-days: нужно число дней от 0 до 36600: " + value);
                o.filter.openDays = days;
                break;
            }
            case kWords: {
                const std::vector<std::string> words = cli::ParseWords("--words", value);
                o.filter.words.insert(o.filter.words.end(), words.begin(), words.end());
                break;
            }
            case kChangedSince:
                o.filter.changedSince = cli::ParseDateOption("--changed-since", value, today);
                break;
            case kNewSince:
                o.filter.newSince = cli::ParseDateOption("--new-since", value, today);
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
    if (!outputGiven)
        throw UsageError("не указан файл: --output ФАЙЛ.csv или ФАЙЛ.xlsx");
    if (o.output.empty())
        throw UsageError("--output: пустой путь");
    const auto format = store::ExportFormatOf(o.output);
    if (!format)
        throw UsageError("--output: файл должен оканчиваться на .csv или .xlsx: " +
                         o.output.string());
    o.format = *format;
    cli::CheckDateOrder("--from", o.filter.from, "--to", o.filter.to);
    cli::CheckDateOrder("--announced-from", o.filter.announcedFrom, "--announced-to",
                        o.filter.announcedTo);
    if (o.filter.startPriceFrom && o.filter.startPriceTo &&
        *o.filter.startPriceFrom > *o.filter.startPriceTo)
        throw UsageError("--price-from больше --price-to");
    if (o.filter.currentPriceFrom && o.filter.currentPriceTo &&
        *o.filter.currentPriceFrom > *o.filter.currentPriceTo)
        throw UsageError("--current-price-from больше --current-price-to");
    if (openDaysGiven && !o.filter.openOnly)
        throw UsageError("--open-days без --open ничего не меняет");
    // Open outcomes are counted from the day the options were read, as a refresh counts them.
    if (o.filter.openOnly)
        o.filter.today = today;
    if (allRegions && !regions.empty())
        throw UsageError("--regions: all вместе с кодами регионов не указывают");
    if (!typesGiven) {
        types.resize(crawl::kTradeTypeCodes.size());
        std::iota(types.begin(), types.end(), 0);
    }
    // Every region unless some are named, as the export's default is the whole store.
    const store::TradeFilter selection = store::SelectionFilter(regions, types, {}, {});
    o.filter.regionCodes = selection.regionCodes;
    o.filter.tradeTypes = selection.tradeTypes;
    return o;
}

void CheckOutputPlace(const ExportOptions& options) {
    std::error_code error;
    if (std::filesystem::is_directory(options.output, error))
        throw PlaceError("--output: " + options.output.string() + " - это папка");
    const std::filesystem::path dir = cli::FolderOf(options.output);
    if (const auto reason = cli::WhyNotWritable(dir))
        throw PlaceError("в папку " + dir.string() + " нельзя записывать: " + *reason);
}

void CheckStorePlace(const std::filesystem::path& storeFile) {
    std::error_code error;
    if (std::filesystem::is_directory(storeFile, error))
        throw PlaceError("--store: " + storeFile.string() + " - это папка");
}

std::string HelpText() {
    return R"(Использование: korvalot-export --output ФАЙЛ [параметры]

Записывает строки хранилища торгов (korvalot-harvest --store, в окне settings.ini
[Harvest] Store=1), выбранные параметрами, в файл. ФАЙЛ.csv - в формате файла с
результатами: тот же заголовок, кавычки, строки CR LF, разделитель дробной части
региональных настроек, так что всё, что читает файлы с результатами, читает и
выгрузку. ФАЙЛ.xlsx - книга, как у korvalot-harvest --workbook, и в ней ещё два
столбца: когда строка найдена впервые и когда её значения менялись в последний раз.

      --store ФАЙЛ          хранилище (по умолчанию korvalot.sqlite в папке данных
                            программы)
  -o, --output ФАЙЛ         куда записать (.csv или .xlsx); файл заменяется только
                            записанным целиком
  -r, --regions КОДЫ        коды регионов через запятую (77,50; код - число от 1 до
                            99) или all (по умолчанию все)
  -T, --types КОДЫ          виды торгов через запятую (по умолчанию все шесть):
                            OpenAuction, OpenConcours, PublicOffer,
                            CloseAuction, CloseConcours, ClosePublicOffer
  -f, --from ДАТА           дата торгов не раньше (та, по которой ищет реестр и
                            korvalot-harvest --from): ГГГГ-ММ-ДД, today или
                            yesterday
  -t, --to ДАТА             дата торгов не позже
      --announced-from ДАТА
                            дата объявления о торгах не раньше
      --announced-to ДАТА   дата объявления о торгах не позже
      --price-from ЦЕНА     начальная цена лота не меньше (рубли: 1500000 или
                            1500000,50)
      --price-to ЦЕНА       начальная цена лота не больше
      --current-price-from ЦЕНА
                            итоговая цена лота не меньше (лот без итоговой цены не
                            выбирается)
      --current-price-to ЦЕНА
                            итоговая цена лота не больше
      --open                только лоты, итог которых ещё не ясен, как их
                            выбирает korvalot-harvest --refresh: без итоговой цены
                            или без победителя, а дата результатов не указана, ещё
                            не наступила или не старше --open-days дней
      --open-days ДНИ       для --open: сколько дней после даты результатов итог
                            ещё ждут (по умолчанию 60, как --refresh-days)
      --words СЛОВА         слова в описании лота или наименовании должника, все
                            сразу, без учёта регистра; слово* - любое слово, которое
                            с него начинается
      --changed-since ДАТА  значения строки менялись в этот день или позже
      --new-since ДАТА      лот впервые попал в хранилище в этот день или позже
  -h, --help                эта справка
  -V, --version             версия

Строки идут в том порядке, в каком торги попали в хранилище, лоты торгов - по
порядку. Итог выводится в стандартный поток ошибок; если в хранилище нет ни одного
торга названного региона, это сказано там же отдельной строкой.

Код завершения: 0 - файл записан; 1 - файл записать не удалось (прежний файл не
изменён); 2 - неверные параметры или в папку файла нельзя записывать (ни один файл
не изменён); 3 - хранилище не открывается (нет файла, ФАЙЛ - это папка, не база
данных, занято, записано более новой версией).
)";
}

std::string VersionText() {
    return std::string("korvalot-export ") + KORVALOT_VERSION + "\n";
}

}  // namespace korvalot::exporting
