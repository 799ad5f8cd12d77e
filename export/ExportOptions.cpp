#include "export/ExportOptions.h"

#include <getopt.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <numeric>

#include "crawl/SearchQueries.h"
#include "harvest/HarvestOptions.h"
#include "store/StoredValues.h"

#ifndef KORVALOT_VERSION
#define KORVALOT_VERSION "0"
#endif

namespace korvalot::exporting {
namespace {

using harvest::UsageError;

enum LongOnly { kStore = 1000, kPriceFrom, kPriceTo, kWords, kChangedSince };

double ParsePrice(const std::string& option, const std::string& text) {
    // Either separator: "1500000,50" as a Russian desktop writes it, "1500000.50" as the
    // register does.
    const auto value = store::PriceValue(text, ",");
    if (!value || *value < 0)
        throw UsageError(option + ": нужна цена в рублях (1500000 или 1500000,50): " + text);
    return *value;
}

std::vector<std::string> Words(const std::string& text) {
    std::vector<std::string> words;
    std::string word;
    for (const char c : text + " ") {
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
            if (!word.empty())
                words.push_back(std::move(word));
            word.clear();
        } else {
            word += c;
        }
    }
    return words;
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
        {"price-from", required_argument, nullptr, kPriceFrom},
        {"price-to", required_argument, nullptr, kPriceTo},
        {"words", required_argument, nullptr, kWords},
        {"changed-since", required_argument, nullptr, kChangedSince},
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
    harvest::OptionReader reader("korvalot-export", args, ":o:r:T:f:t:hV", kLong);
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
                allRegions = harvest::ParseRegionCodes(value, regions) || allRegions;
                break;
            case 'T': {
                typesGiven = true;
                const std::vector<int> positions = harvest::ParseTradeTypes("--types", value);
                types.insert(types.end(), positions.begin(), positions.end());
                break;
            }
            case 'f':
                o.filter.from = harvest::ParseDateOption("--from", value, today);
                break;
            case 't':
                o.filter.to = harvest::ParseDateOption("--to", value, today);
                break;
            case kPriceFrom:
                o.filter.startPriceFrom = ParsePrice("--price-from", value);
                break;
            case kPriceTo:
                o.filter.startPriceTo = ParsePrice("--price-to", value);
                break;
            case kWords: {
                const std::vector<std::string> words = Words(value);
                o.filter.words.insert(o.filter.words.end(), words.begin(), words.end());
                break;
            }
            case kChangedSince:
                o.filter.changedSince = harvest::ParseDateOption("--changed-since", value, today);
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
    if (o.filter.from && o.filter.to &&
        std::chrono::sys_days(*o.filter.from) > std::chrono::sys_days(*o.filter.to))
        throw UsageError("--from позже --to: начало периода после его конца");
    if (o.filter.startPriceFrom && o.filter.startPriceTo &&
        *o.filter.startPriceFrom > *o.filter.startPriceTo)
        throw UsageError("--price-from больше --price-to");
    if (typesGiven && types.empty())
        throw UsageError("--types: не указан ни один вид торгов");
    if (!typesGiven) {
        types.resize(crawl::kTradeTypeCodes.size());
        std::iota(types.begin(), types.end(), 0);
    }
    // Every region unless some are named, as the export's default is the whole store.
    const store::TradeFilter selection = store::SelectionFilter(
        allRegions ? std::vector<std::string>{} : regions, types, o.filter.from, o.filter.to);
    o.filter.regionCodes = selection.regionCodes;
    o.filter.tradeTypes = selection.tradeTypes;
    return o;
}

void CheckOutputPlace(const ExportOptions& options) {
    std::error_code error;
    if (std::filesystem::is_directory(options.output, error))
        throw UsageError("--output: " + options.output.string() + " - это папка");
    std::filesystem::path dir = options.output.parent_path();
    if (dir.empty())
        dir = ".";
    if (!std::filesystem::is_directory(dir, error))
        throw UsageError("в папку " + dir.string() + " нельзя записывать: папки нет");
    if (::access(dir.c_str(), W_OK | X_OK) != 0)
        throw UsageError("в папку " + dir.string() + " нельзя записывать: " + std::strerror(errno));
    if (!options.storeFile.empty() && std::filesystem::is_directory(options.storeFile, error))
        throw UsageError("--store: " + options.storeFile.string() + " - это папка");
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
  -r, --regions КОДЫ        коды регионов через запятую (77,50) или all (по умолчанию
                            все)
  -T, --types КОДЫ          виды торгов через запятую (по умолчанию все шесть):
                            OpenAuction, OpenConcours, PublicOffer,
                            CloseAuction, CloseConcours, ClosePublicOffer
  -f, --from ДАТА           дата объявления о торгах не раньше: ГГГГ-ММ-ДД, today
                            или yesterday
  -t, --to ДАТА             дата объявления о торгах не позже
      --price-from ЦЕНА     начальная цена лота не меньше (рубли: 1500000 или
                            1500000,50)
      --price-to ЦЕНА       начальная цена лота не больше
      --words СЛОВА         слова в описании лота или наименовании должника, все
                            сразу, без учёта регистра; слово* - любое слово, которое
                            с него начинается
      --changed-since ДАТА  значения строки менялись в этот день или позже
  -h, --help                эта справка
  -V, --version             версия

Строки идут в том порядке, в каком торги попали в хранилище, лоты торгов - по
порядку. Итог выводится в стандартный поток ошибок.

Код завершения: 0 - файл записан; 1 - файл записать не удалось (прежний файл не
изменён); 2 - неверные параметры (ни один файл не изменён); 3 - хранилище не
открывается (нет файла, не база данных, занято, записано более новой версией).
)";
}

std::string VersionText() {
    return std::string("korvalot-export ") + KORVALOT_VERSION + "\n";
}

}  // namespace korvalot::exporting
