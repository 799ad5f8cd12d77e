#include "tools/register-sim/SimContent.h"

#include <array>
#include <cstdio>
#include <vector>

#include "tools/register-sim/SimJson.h"

namespace korvalot::tools {
namespace {

constexpr SimRegionInfo kRegions[] = {
    {"01", "Республика Адыгея (Адыгея)", 3},
    {"02", "Республика Башкортостан", 22},
    {"03", "Республика Бурятия", 6},
    {"04", "Республика Алтай", 2},
    {"05", "Республика Дагестан", 5},
    {"06", "Республика Ингушетия", 1},
    {"07", "Кабардино-Балкарская Республика", 3},
    {"08", "Республика Калмыкия", 1},
    {"09", "Карачаево-Черкесская Республика", 2},
    {"10", "Республика Карелия", 5},
    {"11", "Республика Коми", 6},
    {"12", "Республика Марий Эл", 4},
    {"13", "Республика Мордовия", 4},
    {"14", "Республика Саха (Якутия)", 7},
    {"15", "Республика Северная Осетия - Алания", 3},
    {"16", "Республика Татарстан (Татарстан)", 24},
    {"17", "Республика Тыва", 1},
    {"18", "Удмуртская Республика", 9},
    {"19", "Республика Хакасия", 3},
    {"20", "Чеченская Республика", 1},
    {"21", "Чувашская Республика - Чувашия", 6},
    {"22", "Алтайский край", 12},
    {"23", "Краснодарский край", 40},
    {"24", "Красноярский край", 18},
    {"25", "Приморский край", 12},
    {"26", "Ставропольский край", 14},
    {"27", "Хабаровский край", 9},
    {"28", "Амурская область", 5},
    {"29", "Архангельская область", 7},
    {"30", "Астраханская область", 6},
    {"31", "Белгородская область", 9},
    {"32", "Брянская область", 6},
    {"33", "Владимирская область", 9},
    {"34", "Волгоградская область", 14},
    {"35", "Вологодская область", 8},
    {"36", "Воронежская область", 13},
    {"37", "Ивановская область", 6},
    {"38", "Иркутская область", 14},
    {"39", "Калининградская область", 9},
    {"40", "Калужская область", 8},
    {"41", "Камчатский край", 3},
    {"42", "Кемеровская область - Кузбасс", 13},
    {"43", "Кировская область", 7},
    {"44", "Костромская область", 4},
    {"45", "Курганская область", 4},
    {"46", "Курская область", 6},
    {"47", "Ленинградская область", 16},
    {"48", "Липецкая область", 6},
    {"49", "Магаданская область", 2},
    {"50", "Московская область", 90},
    {"51", "Мурманская область", 5},
    {"52", "Нижегородская область", 20},
    {"53", "Новгородская область", 4},
    {"54", "Новосибирская область", 20},
    {"55", "Омская область", 11},
    {"56", "Оренбургская область", 9},
    {"57", "Орловская область", 4},
    {"58", "Пензенская область", 6},
    {"59", "Пермский край", 14},
    {"60", "Псковская область", 4},
    {"61", "Ростовская область", 22},
    {"62", "Рязанская область", 6},
    {"63", "Самарская область", 20},
    {"64", "Саратовская область", 11},
    {"65", "Сахалинская область", 4},
    {"66", "Свердловская область", 30},
    {"67", "Смоленская область", 5},
    {"68", "Тамбовская область", 4},
    {"69", "Тверская область", 8},
    {"70", "Томская область", 6},
    {"71", "Тульская область", 9},
    {"72", "Тюменская область", 12},
    {"73", "Ульяновская область", 7},
    {"74", "Челябинская область", 20},
    {"75", "Забайкальский край", 4},
    {"76", "Ярославская область", 8},
    {"77", "г. Москва", 120},
    {"78", "г. Санкт-Петербург", 60},
    {"79", "Еврейская автономная область", 1},
    {"83", "Ненецкий автономный округ", 1},
    {"86", "Ханты-Мансийский автономный округ - Югра", 10},
    {"87", "Чукотский автономный округ", 1},
    {"89", "Ямало-Ненецкий автономный округ", 4},
    {"91", "Республика Крым", 7},
    {"92", "г. Севастополь", 3},
    {"99", "Иные территории, включая город и космодром Байконур", 1},
};

constexpr std::string_view kMaleSurnames[] = {
    "Иванов",      "Смирнов",   "Кузнецов",   "Попов",    "Васильев", "Петров",   "Соколов",
    "Михайлов",    "Новиков",   "Федоров",    "Морозов",  "Волков",   "Алексеев", "Лебедев",
    "Семенов",     "Егоров",    "Павлов",     "Козлов",   "Степанов", "Николаев", "Орлов",
    "Андреев",     "Макаров",   "Никитин",    "Захаров",  "Зайцев",   "Соловьев", "Борисов",
    "Яковлев",     "Григорьев", "Романов",    "Воробьев", "Сергеев",  "Кузьмин",  "Фролов",
    "Александров", "Дмитриев",  "Королев",    "Гусев",    "Киселев",  "Ильин",    "Максимов",
    "Поляков",     "Сорокин",   "Виноградов", "Ковалев",  "Белов",    "Медведев", "Антонов",
    "Тарасов",     "Жуков",     "Баранов",    "Филиппов", "Комаров",  "Давыдов",  "Беляев"};
constexpr std::string_view kInvariantSurnames[] = {
    "Шевченко", "Бондаренко", "Ким", "Черных", "Коваленко", "Цой", "Седых", "Мельниченко"};
constexpr std::string_view kMaleNames[] = {
    "Александр",  "Алексей", "Андрей",  "Сергей", "Дмитрий", "Владимир", "Михаил",
    "Николай",    "Игорь",   "Евгений", "Олег",   "Виктор",  "Павел",    "Юрий",
    "Константин", "Артём",   "Роман",   "Денис",  "Максим",  "Илья",     "Геннадий"};
constexpr std::string_view kFemaleNames[] = {
    "Елена",  "Ольга",  "Наталья",   "Татьяна",   "Ирина",  "Светлана",
    "Анна",   "Марина", "Екатерина", "Юлия",      "Мария",  "Людмила",
    "Галина", "Оксана", "Надежда",   "Валентина", "Лариса", "Алёна"};
constexpr std::array<std::string_view, 2> kPatronymics[] = {
    {"Александрович", "Александровна"}, {"Сергеевич", "Сергеевна"},
    {"Владимирович", "Владимировна"},   {"Николаевич", "Николаевна"},
    {"Андреевич", "Андреевна"},         {"Викторович", "Викторовна"},
    {"Михайлович", "Михайловна"},       {"Юрьевич", "Юрьевна"},
    {"Иванович", "Ивановна"},           {"Петрович", "Петровна"},
    {"Анатольевич", "Анатольевна"},     {"Геннадьевич", "Геннадьевна"},
    {"Олегович", "Олеговна"},           {"Дмитриевич", "Дмитриевна"},
    {"Васильевич", "Васильевна"},       {"Евгеньевич", "Евгеньевна"}};

constexpr std::string_view kNameHeads[] = {"Строй", "Агро", "Техно", "Энерго", "Транс", "Мега",
                                           "Урал",  "Сиб",  "Волга", "Нефте",  "Пром",  "Мост",
                                           "Лес",   "Авто", "Гео",   "Инвест", "Альфа", "Вектор"};
constexpr std::string_view kNameTails[] = {
    "инвест", "сервис", "холдинг", "комплект",    "торг", "снаб",  "монтаж",  "групп",
    "ресурс", "проект", "лизинг",  "девелопмент", "маш",  "строй", "логистик"};
constexpr std::string_view kWords[] = {
    "Рассвет",  "Северное сияние", "Заря",    "Восход",    "Перспектива",
    "Меридиан", "Горизонт",        "Импульс", "Континент", "Опора"};
constexpr std::string_view kStreets[] = {"Ленина",  "Мира",       "Советская",  "Центральная",
                                         "Садовая", "Гагарина",   "Молодежная", "Школьная",
                                         "Лесная",  "Набережная", "Заводская",  "Октябрьская"};
constexpr std::string_view kSettlements[] = {"г. Заречный",   "пос. Октябрьский", "с. Покровское",
                                             "г. Первомайск", "д. Березовка",     "г. Новоозёрск",
                                             "с. Никольское", "рп. Южный"};
constexpr std::string_view kVehicles[] = {"LADA Granta",     "LADA Vesta",  "KIA Rio",
                                          "Hyundai Solaris", "ГАЗ 3302",    "КАМАЗ 65115",
                                          "Toyota Camry",    "УАЗ Патриот", "МАЗ 5440"};
constexpr std::string_view kColours[] = {"белый", "черный", "серебристый", "синий", "красный"};
constexpr std::string_view kMachines[] = {
    "станок токарный 16К20", "станок фрезерный 6Р82", "компрессор винтовой", "погрузчик вилочный",
    "сварочный аппарат",     "пресс гидравлический",  "кран-балка 5 т",      "бетономешалка"};
constexpr std::string_view kClassifierTexts[] = {"Недвижимость",
                                                 "Жилые здания (помещения)",
                                                 "Нежилые здания (помещения)",
                                                 "Земельные участки",
                                                 "Транспортные средства",
                                                 "Дебиторская задолженность",
                                                 "Оборудование",
                                                 "Ценные бумаги",
                                                 "Товарно-материальные ценности",
                                                 "Доли в уставном капитале",
                                                 "Сельскохозяйственная техника",
                                                 "Прочее"};
constexpr std::string_view kClassifierCodes[] = {"0101", "0102", "0103", "0104", "0201", "0301",
                                                 "0401", "0501", "0601", "0701", "0801", "9999"};

int Digit(std::string_view inn, std::size_t i) {
    return inn[i] - '0';
}

int CheckDigit(std::string_view digits, std::span<const int> weights) {
    int sum = 0;
    for (std::size_t i = 0; i < weights.size(); ++i) {
        sum += Digit(digits, i) * weights[i];
    }
    return sum % 11 % 10;
}

constexpr int kWeights10[] = {2, 4, 10, 3, 5, 9, 4, 6, 8};
constexpr int kWeights11[] = {7, 2, 4, 10, 3, 5, 9, 4, 6, 8};
constexpr int kWeights12[] = {3, 7, 2, 4, 10, 3, 5, 9, 4, 6, 8};

std::string Digits(SimRng& rng, int count) {
    std::string out;
    for (int i = 0; i < count; ++i) {
        out.push_back(static_cast<char>('0' + rng.Below(10)));
    }
    return out;
}

std::string Quoted(SimRng& rng, std::string_view name) {
    if (rng.Chance(0.3)) {
        return "«" + std::string(name) + "»";
    }
    return "\"" + std::string(name) + "\"";
}

std::string CompanyName(SimRng& rng) {
    if (rng.Chance(0.25)) {
        return std::string(rng.Pick(kWords));
    }
    return std::string(rng.Pick(kNameHeads)) + std::string(rng.Pick(kNameTails));
}

std::string Money(std::int64_t kopecks) {
    // 1 234 567,89 as documents write sums
    std::string whole = std::to_string(kopecks / 100);
    std::string grouped;
    for (std::size_t i = 0; i < whole.size(); ++i) {
        if (i > 0 && (whole.size() - i) % 3 == 0) {
            grouped.push_back(' ');
        }
        grouped.push_back(whole[i]);
    }
    char tail[8];
    std::snprintf(tail, sizeof tail, ",%02d", static_cast<int>(kopecks % 100));
    return grouped + tail;
}

std::string Place(SimRng& rng, std::string_view regionCode, std::string_view regionDescription) {
    std::string place(regionDescription);
    if (regionCode != "77" && regionCode != "78" && regionCode != "92") {
        place += ", ";
        place += rng.Pick(kSettlements);
    }
    place += ", ул. ";
    place += rng.Pick(kStreets);
    place += ", д. " + std::to_string(rng.Between(1, 120));
    return place;
}

std::string Cadastral(SimRng& rng, std::string_view regionCode) {
    return std::string(regionCode.size() == 2 ? regionCode : "77") + ":" + Digits(rng, 2) + ":" +
           Digits(rng, 7) + ":" + std::to_string(rng.Between(1, 9999));
}

std::string Vin(SimRng& rng) {
    static constexpr std::string_view kChars = "ABCDEFGHJKLMNPRSTUVWXYZ0123456789";
    std::string vin = "X";
    for (int i = 0; i < 16; ++i) {
        vin.push_back(kChars[rng.Below(kChars.size())]);
    }
    return vin;
}

std::string Initials(SimRng& rng) {
    std::string surname(rng.Pick(kMaleSurnames));
    std::string first(rng.Pick(kMaleNames));
    std::string patronymic(rng.Pick(kPatronymics)[0]);
    // the first letter of a Cyrillic name is two bytes
    return surname + " " + first.substr(0, 2) + "." + patronymic.substr(0, 2) + ".";
}

std::string Utf8Cut(std::string text, std::size_t length) {
    std::size_t count = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
            if (count == length) {
                text.resize(i);
                return text;
            }
            ++count;
        }
    }
    return text;
}

std::string ClaimList(SimRng& rng, std::size_t length) {
    std::string out =
        "Права требования к физическим лицам (дебиторская задолженность) согласно "
        "перечню; сведения о должниках:\n";
    int n = 1;
    std::size_t have = Utf8Length(out);
    while (have < length) {
        const std::string claim = std::to_string(n++) + ". " + Initials(rng) + ", сумма " +
                                  Money(rng.Between(100000, 50000000)) + " руб., решение суда от " +
                                  std::to_string(rng.Between(10, 28)) + ".0" +
                                  std::to_string(rng.Between(1, 9)) + ".2024;" +
                                  (rng.Chance(0.5) ? "\r\n" : "\n");
        have += Utf8Length(claim);
        out += claim;
    }
    return Utf8Cut(std::move(out), length);
}

}  // namespace

std::span<const SimRegionInfo> RegionTable() {
    return kRegions;
}

std::string CourtNameFor(std::string_view code, std::string_view description) {
    if (code == "77" || code == "99") {
        return "Арбитражный суд города Москвы";
    }
    if (code == "78" || code == "47") {
        return "Арбитражный суд города Санкт-Петербурга и Ленинградской области";
    }
    if (code == "92") {
        return "Арбитражный суд города Севастополя";
    }
    std::string name(description.substr(0, description.find(" - ")));
    std::string out = "Арбитражный суд";
    bool republicFirst = name.rfind("Республика", 0) == 0;
    std::size_t start = 0;
    while (start < name.size()) {
        std::size_t end = name.find(' ', start);
        if (end == std::string::npos) {
            end = name.size();
        }
        std::string word = name.substr(start, end - start);
        start = end + 1;
        auto endsWith = [&](std::string_view tail) {
            return word.size() >= tail.size() &&
                   word.compare(word.size() - tail.size(), tail.size(), tail) == 0;
        };
        auto replaceTail = [&](std::size_t bytes, std::string_view with) {
            word.replace(word.size() - bytes, bytes, with);
        };
        if (word == "Республика") {
            word = "Республики";
        } else if (word == "область") {
            word = "области";
        } else if (word == "край") {
            word = "края";
        } else if (word == "округ") {
            word = "округа";
        } else if (!republicFirst && endsWith("ая")) {
            replaceTail(4, "ой");
        } else if (!republicFirst && (endsWith("ий") || endsWith("ый"))) {
            replaceTail(4, "ого");
        }
        out += " " + word;
    }
    return out;
}

std::string MakeInn(SimRng& rng, std::string_view regionCode, bool person) {
    std::string inn(regionCode == "99" || regionCode.size() != 2 ? "77" : regionCode);
    inn += Digits(rng, person ? 8 : 7);
    if (person) {
        inn.push_back(static_cast<char>('0' + CheckDigit(inn, kWeights11)));
        inn.push_back(static_cast<char>('0' + CheckDigit(inn, kWeights12)));
    } else {
        inn.push_back(static_cast<char>('0' + CheckDigit(inn, kWeights10)));
    }
    return inn;
}

bool InnIsValid(std::string_view inn) {
    for (char c : inn) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    if (inn.size() == 10) {
        return CheckDigit(inn, kWeights10) == Digit(inn, 9);
    }
    if (inn.size() == 12) {
        return CheckDigit(inn, kWeights11) == Digit(inn, 10) &&
               CheckDigit(inn, kWeights12) == Digit(inn, 11);
    }
    return false;
}

SimParty MakePerson(SimRng& rng, std::string_view regionCode) {
    const bool female = rng.Chance(0.4);
    std::string surname;
    if (rng.Chance(0.12)) {
        surname = rng.Pick(kInvariantSurnames);
    } else {
        surname = rng.Pick(kMaleSurnames);
        if (female) {
            surname += "а";
        }
    }
    const auto& patronymic = rng.Pick(kPatronymics);
    SimParty party;
    party.person = true;
    party.name = surname + " " +
                 std::string(female ? rng.Pick(kFemaleNames) : rng.Pick(kMaleNames)) + " " +
                 std::string(patronymic[female ? 1 : 0]);
    party.inn = MakeInn(rng, regionCode, true);
    return party;
}

SimParty MakeCompany(SimRng& rng, std::string_view regionCode) {
    SimParty party;
    const std::string name = CompanyName(rng);
    switch (rng.Below(8)) {
        case 0:
            party.name = "Общество с ограниченной ответственностью " + Quoted(rng, name);
            break;
        case 1:
            party.name = "Акционерное общество " + Quoted(rng, name);
            break;
        case 2:
            party.name = "АО " + Quoted(rng, name);
            break;
        case 3:
            // a trading house inside the company name: quotes within quotes
            party.name = "ООО \"ТД \"" + name + "\"\"";
            break;
        case 4:
            party.name = "СПК \"Колхоз " + std::string(rng.Pick(kWords)) + "\"";
            break;
        default:
            party.name = "ООО " + Quoted(rng, name);
    }
    party.inn = MakeInn(rng, regionCode, false);
    return party;
}

SimParty MakeDebtor(SimRng& rng, std::string_view regionCode) {
    const std::uint64_t kind = rng.Below(10);
    if (kind < 6) {
        return MakeCompany(rng, regionCode);
    }
    SimParty person = MakePerson(rng, regionCode);
    if (kind == 6) {
        person.name = "ИП " + person.name;
    }
    return person;
}

namespace {

// The classifier that goes with each kind of description; a claim list is a receivable.
constexpr std::size_t kKindClassifier[] = {1, 3, 4, 5, 6, 9, 2, 8};
constexpr std::size_t kClaimsClassifier = 5;

std::string Description(SimRng& rng, std::uint64_t kind, std::string_view regionCode,
                        std::string_view regionDescription) {
    std::string text;
    switch (kind) {
        case 0:
            text = "Квартира, общая площадь " + std::to_string(rng.Between(18, 140)) + "," +
                   std::to_string(rng.Below(10)) + " кв. м, этаж " +
                   std::to_string(rng.Between(1, 25)) + ", кадастровый номер " +
                   Cadastral(rng, regionCode) +
                   "; адрес: " + Place(rng, regionCode, regionDescription) + ", кв. " +
                   std::to_string(rng.Between(1, 300));
            break;
        case 1:
            text =
                "Земельный участок; категория земель: земли сельскохозяйственного назначения; "
                "вид разрешенного использования: для сельскохозяйственного производства; "
                "площадь " +
                std::to_string(rng.Between(600, 2000000)) + " кв. м; кадастровый номер " +
                Cadastral(rng, regionCode);
            break;
        case 2:
            text = "Автомобиль " + std::string(rng.Pick(kVehicles)) + ", " +
                   std::to_string(rng.Between(2005, 2023)) + " г.в., VIN " + Vin(rng) + ", цвет " +
                   std::string(rng.Pick(kColours)) +
                   "; место нахождения: " + std::string(regionDescription);
            break;
        case 3: {
            const SimParty debtor = MakeCompany(rng, regionCode);
            text = "Право требования (дебиторская задолженность) к " + debtor.name + " (ИНН " +
                   debtor.inn + ") в размере " + Money(rng.Between(1000000, 9000000000)) +
                   " руб., подтвержденное решением арбитражного суда по делу № А" +
                   std::to_string(rng.Between(1, 83)) + "-" +
                   std::to_string(rng.Between(100, 99999)) + "/2024";
            break;
        }
        case 4: {
            text = "Оборудование:";
            const std::int64_t items = rng.Between(2, 6);
            for (std::int64_t i = 0; i < items; ++i) {
                text += "\n" + std::to_string(i + 1) + ") " + std::string(rng.Pick(kMachines)) +
                        " – " + std::to_string(rng.Between(1, 5)) + " шт.;";
            }
            text += "\nсостояние: б/у, требуется ремонт";
            break;
        }
        case 5:
            text = "Доля в уставном капитале " + MakeCompany(rng, regionCode).name + " в размере " +
                   std::to_string(rng.Between(1, 100)) + "%";
            break;
        case 6:
            text = "Нежилое помещение площадью " + std::to_string(rng.Between(20, 3000)) +
                   " кв. м, назначение: \"торговое\"; кадастровый номер " +
                   Cadastral(rng, regionCode) +
                   "; адрес: " + Place(rng, regionCode, regionDescription);
            break;
        default:
            text =
                "Товарно-материальные ценности (остатки товара на складе) согласно "
                "инвентаризационной описи № " +
                std::to_string(rng.Between(1, 40)) + "; перечень - в приложении к сообщению";
    }
    if (rng.Chance(0.1)) {
        text += "\r\nОбременение: залог в пользу ПАО \"" + CompanyName(rng) + " Банк\"";
    }
    return text;
}

std::string ClassifiersJson(SimRng& rng, std::size_t primary) {
    const std::uint64_t form = rng.Below(20);
    if (form == 0) {
        return {};
    }
    JsonWriter json;
    json.BeginArray();
    if (form == 1) {
        return json.EndArray().Take();
    }
    const bool objects = form <= 6;
    std::size_t k = primary;
    const std::int64_t count = rng.Between(1, 3);
    for (std::int64_t i = 0; i < count; ++i) {
        if (objects) {
            json.BeginObject()
                .Key("code")
                .String(kClassifierCodes[k])
                .Key("name")
                .String(kClassifierTexts[k])
                .EndObject();
        } else {
            json.String(kClassifierTexts[k]);
        }
        k = static_cast<std::size_t>(rng.Below(std::size(kClassifierTexts)));
    }
    return json.EndArray().Take();
}

}  // namespace

SimLotTexts MakeLotTexts(SimRng& rng, std::string_view regionCode,
                         std::string_view regionDescription, std::size_t length) {
    SimLotTexts texts;
    if (length > 0) {
        texts.description = ClaimList(rng, length);
        texts.classifiersJson = ClassifiersJson(rng, kClaimsClassifier);
        return texts;
    }
    const std::uint64_t kind = rng.Below(std::size(kKindClassifier));
    texts.description = Description(rng, kind, regionCode, regionDescription);
    texts.classifiersJson = ClassifiersJson(rng, kKindClassifier[kind]);
    return texts;
}

std::size_t Utf8Length(std::string_view text) {
    std::size_t count = 0;
    for (unsigned char c : text) {
        count += (c & 0xC0) != 0x80;
    }
    return count;
}

}  // namespace korvalot::tools
