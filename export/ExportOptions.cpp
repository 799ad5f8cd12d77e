#include "export/ExportOptions.h"

#include <getopt.h>

#include "cli/FilterOptions.h"
#include "cli/OptionReader.h"
#include "cli/Places.h"

#ifndef KORVALOT_VERSION
#define KORVALOT_VERSION "0"
#endif

namespace korvalot::exporting {
namespace {

using cli::PlaceError;
using cli::UsageError;

enum LongOnly { kStore = 1000 };

}  // namespace

ExportOptions ParseExportOptions(const std::vector<std::string>& args,
                                 std::chrono::year_month_day today) {
    std::vector<option> longOptions = {
        {"store", required_argument, nullptr, kStore},
        {"output", required_argument, nullptr, 'o'},
    };
    const std::vector<option> filterOptions =
        cli::FilterLongOptions({.openDays = true, .storeDates = true});
    longOptions.insert(longOptions.end(), filterOptions.begin(), filterOptions.end());
    longOptions.push_back({"help", no_argument, nullptr, 'h'});
    longOptions.push_back({"version", no_argument, nullptr, 'V'});
    longOptions.push_back({nullptr, 0, nullptr, 0});
    ExportOptions o;
    cli::FilterOptions filter(today);
    bool outputGiven = false;
    const std::string shortOptions = std::string(":o:") + cli::kFilterShortOptions + "hV";
    cli::OptionReader reader("korvalot-export", args, shortOptions.c_str(), longOptions.data());
    while (const auto option = reader.Next()) {
        const std::string& value = option->value;
        if (filter.Take(option->code, value))
            continue;
        switch (option->code) {
            case kStore:
                o.storeFile = cli::PathValue("--store", value);
                break;
            case 'o':
                outputGiven = true;
                o.output = value;
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
    filter.Finish();
    o.filter = filter.Filter();
    // Open outcomes are counted from the day the options were read, as a refresh counts them.
    if (o.filter.openOnly)
        o.filter.today = today;
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
