#include "notify/ChannelSettings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "notify/NotifyError.h"
#include "util/FileDescriptor.h"
#include "util/Platform.h"

namespace korvalot::notify {
namespace {

struct IniLine {
    int number = 0;
    std::string section;
    std::string key;
    std::string value;
};

std::string Trim(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) {
        return {};
    }
    const auto last = text.find_last_not_of(" \t\r");
    return std::string(text.substr(first, last - first + 1));
}

[[noreturn]] void Fail(const std::filesystem::path& file, int line, const std::string& what) {
    std::string text = "файл " + file.string();
    if (line > 0) {
        text += ", строка " + std::to_string(line);
    }
    throw NotifyError(text + ": " + what);
}

// key = value under [section]; ";" and "#" begin a comment line. Sections and keys are given
// in lower case.
std::vector<IniLine> ParseIni(const std::filesystem::path& file, const std::string& text) {
    std::vector<IniLine> lines;
    std::istringstream in(text);
    std::string raw;
    std::string section;
    int number = 0;
    while (std::getline(in, raw)) {
        ++number;
        if (number == 1 && raw.rfind("\xEF\xBB\xBF", 0) == 0) {
            raw.erase(0, 3);
        }
        const std::string line = Trim(raw);
        if (line.empty() || line[0] == ';' || line[0] == '#') {
            continue;
        }
        if (line.front() == '[') {
            if (line.back() != ']') {
                Fail(file, number, "нет закрывающей скобки у раздела");
            }
            section = Trim(std::string_view(line).substr(1, line.size() - 2));
            lines.push_back({number, section, {}, {}});
            continue;
        }
        const auto eq = line.find('=');
        if (eq == std::string::npos) {
            Fail(file, number, "нужна строка вида «параметр = значение»");
        }
        IniLine entry{number, section, Trim(std::string_view(line).substr(0, eq)),
                      Trim(std::string_view(line).substr(eq + 1))};
        if (entry.key.empty()) {
            Fail(file, number, "нет имени параметра");
        }
        lines.push_back(std::move(entry));
    }
    return lines;
}

std::string ReadWhole(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        throw NotifyError("файл " + file.string() + ": не открывается: " + std::strerror(errno));
    }
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) {
        throw NotifyError("файл " + file.string() + ": ошибка чтения");
    }
    return text.str();
}

std::filesystem::path Beside(const std::filesystem::path& settingsFile, const std::string& value) {
    const std::filesystem::path path(value);
    return path.is_absolute() ? path : settingsFile.parent_path() / path;
}

int Number(const std::filesystem::path& file, const IniLine& line, int low, int high) {
    int value = 0;
    std::size_t used = 0;
    try {
        value = std::stoi(line.value, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used == 0 || used != line.value.size() || value < low || value > high) {
        Fail(file, line.number,
             "«" + line.key + "» должно быть числом от " + std::to_string(low) + " до " +
                 std::to_string(high) + ", а не «" + line.value + "»");
    }
    return value;
}

std::vector<std::string> List(const std::string& value) {
    std::vector<std::string> items;
    std::istringstream in(value);
    std::string item;
    while (std::getline(in, item, ',')) {
        item = Trim(item);
        if (!item.empty()) {
            items.push_back(item);
        }
    }
    return items;
}

bool HttpsAddress(const std::string& value) {
    return value.rfind("https://", 0) == 0;
}

// An address such as "a@b.ru" without anything that would end a header line or an SMTP command.
bool MailAddress(const std::string& value) {
    const auto at = value.find('@');
    return at != std::string::npos && at > 0 && at + 1 < value.size() &&
           value.find_first_of(" \t\r\n<>,;\"") == std::string::npos;
}

}  // namespace

std::filesystem::path DefaultChannelsFile() {
    return util::DataDirectory() / "channels.ini";
}

std::vector<std::pair<std::string, std::string>> ReadSecretsFile(
    const std::filesystem::path& file) {
    const std::string name = "файл секретов " + file.string();
    util::FileDescriptor fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!fd.IsOpen()) {
        throw NotifyError(name + ": не открывается: " + std::strerror(errno));
    }
    struct stat st {};
    if (::fstat(fd.Get(), &st) != 0) {
        throw NotifyError(name + ": " + std::strerror(errno));
    }
    if (!S_ISREG(st.st_mode)) {
        throw NotifyError(name + ": это не обычный файл");
    }
    if (st.st_uid != ::geteuid()) {
        throw NotifyError(name + " принадлежит другому пользователю (uid " +
                          std::to_string(st.st_uid) + "); нужен файл этого пользователя");
    }
    if ((st.st_mode & 077) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        throw NotifyError(name + " доступен другим пользователям (права " + mode +
                          "); нужны права 0600");
    }
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd.Get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            throw NotifyError(name + ": ошибка чтения: " + std::strerror(errno));
        }
        if (n == 0) {
            break;
        }
        text.append(buffer, static_cast<std::size_t>(n));
    }
    std::vector<std::pair<std::string, std::string>> secrets;
    for (const IniLine& line : ParseIni(file, text)) {
        if (!line.key.empty()) {
            secrets.emplace_back(line.section + "." + line.key, line.value);
        }
    }
    return secrets;
}

ChannelSettings ReadChannelSettings(const std::filesystem::path& file) {
    const std::vector<IniLine> lines = ParseIni(file, ReadWhole(file));
    ChannelSettings settings;
    std::filesystem::path secretsFile;
    std::set<std::string> seen;
    bool mailPortGiven = false;
    int mailLine = 0;
    int telegramLine = 0;
    int webhookLine = 0;
    int feedLine = 0;
    for (const IniLine& line : lines) {
        if (line.key.empty()) {
            if (!seen.insert(line.section).second) {
                Fail(file, line.number, "раздел [" + line.section + "] уже был");
            }
            if (line.section == "mail") {
                settings.mail.emplace();
                mailLine = line.number;
            } else if (line.section == "telegram") {
                settings.telegram.emplace();
                telegramLine = line.number;
            } else if (line.section == "webhook") {
                settings.webhook.emplace();
                webhookLine = line.number;
            } else if (line.section == "feed") {
                settings.feed.emplace();
                feedLine = line.number;
            } else if (line.section == "stdout") {
                settings.standardOutput = true;
            } else {
                Fail(file, line.number,
                     "неизвестный раздел [" + line.section +
                         "]; бывают [mail], [telegram], [webhook], [feed] и [stdout]");
            }
            continue;
        }
        const std::string& key = line.key;
        const std::string& value = line.value;
        bool known = true;
        if (line.section.empty()) {
            if (key == "secrets") {
                secretsFile = Beside(file, value);
            } else {
                known = false;
            }
        } else if (line.section == "mail") {
            MailSettings& mail = *settings.mail;
            if (key == "server") {
                mail.server = value;
            } else if (key == "port") {
                mail.port = Number(file, line, 1, 65535);
                mailPortGiven = true;
            } else if (key == "security") {
                if (value == "starttls") {
                    mail.security = MailSettings::Security::StartTls;
                } else if (value == "tls") {
                    mail.security = MailSettings::Security::Tls;
                } else {
                    Fail(file, line.number,
                         "«security» бывает starttls или tls, а не «" + value + "»");
                }
            } else if (key == "from") {
                mail.from = value;
            } else if (key == "to") {
                mail.to = List(value);
            } else if (key == "user") {
                mail.user = value;
            } else if (key == "certificates") {
                mail.certificates = Beside(file, value);
            } else if (key == "timeout") {
                mail.timeout = std::chrono::seconds(Number(file, line, 1, 3600));
            } else {
                known = false;
            }
        } else if (line.section == "telegram") {
            TelegramSettings& telegram = *settings.telegram;
            if (key == "chat") {
                telegram.chat = value;
            } else if (key == "api") {
                telegram.apiBase = value;
            } else if (key == "certificates") {
                telegram.certificates = Beside(file, value);
            } else if (key == "timeout") {
                telegram.timeout = std::chrono::seconds(Number(file, line, 1, 3600));
            } else {
                known = false;
            }
        } else if (line.section == "webhook") {
            WebhookSettings& webhook = *settings.webhook;
            if (key == "url") {
                webhook.url = value;
            } else if (key == "certificates") {
                webhook.certificates = Beside(file, value);
            } else if (key == "timeout") {
                webhook.timeout = std::chrono::seconds(Number(file, line, 1, 3600));
            } else {
                known = false;
            }
        } else if (line.section == "feed") {
            FeedSettings& feed = *settings.feed;
            if (key == "folder") {
                feed.folder = Beside(file, value);
            } else if (key == "entries") {
                feed.entries = Number(file, line, 1, 10000);
            } else {
                known = false;
            }
        } else {
            known = false;
        }
        if (!known) {
            Fail(file, line.number,
                 "неизвестный параметр «" + key + "»" +
                     (line.section.empty() ? std::string() : " в разделе [" + line.section + "]"));
        }
    }

    std::map<std::string, std::string> secrets;
    if (!secretsFile.empty()) {
        for (auto& [key, value] : ReadSecretsFile(secretsFile)) {
            secrets[key] = std::move(value);
        }
    }
    const auto secret = [&](const std::string& key) -> std::string {
        const auto found = secrets.find(key);
        return found == secrets.end() ? std::string() : found->second;
    };
    const auto needSecret = [&](int line, const std::string& key, const std::string& what) {
        const std::string value = secret(key);
        if (value.empty()) {
            Fail(file, line,
                 what + (secretsFile.empty()
                             ? ": нет файла секретов (параметр «secrets»)"
                             : ": в файле секретов " + secretsFile.string() + " нет «" + key +
                                   "» (раздел [" + key.substr(0, key.find('.')) + "])"));
        }
        return value;
    };

    if (settings.mail) {
        MailSettings& mail = *settings.mail;
        if (mail.server.empty()) {
            Fail(file, mailLine, "в разделе [mail] нет «server»");
        }
        if (!MailAddress(mail.from)) {
            Fail(file, mailLine, "в разделе [mail] нет адреса «from» или он не похож на адрес");
        }
        if (mail.to.empty()) {
            Fail(file, mailLine, "в разделе [mail] нет адресов «to»");
        }
        for (const std::string& to : mail.to) {
            if (!MailAddress(to)) {
                Fail(file, mailLine, "в разделе [mail] «" + to + "» не похоже на адрес");
            }
        }
        if (!mailPortGiven) {
            mail.port = mail.security == MailSettings::Security::Tls ? 465 : 587;
        }
        if (!mail.user.empty()) {
            mail.password = needSecret(mailLine, "mail.password", "почта");
        }
    }
    if (settings.telegram) {
        TelegramSettings& telegram = *settings.telegram;
        if (telegram.chat.empty()) {
            Fail(file, telegramLine, "в разделе [telegram] нет «chat»");
        }
        while (!telegram.apiBase.empty() && telegram.apiBase.back() == '/') {
            telegram.apiBase.pop_back();
        }
        if (!HttpsAddress(telegram.apiBase)) {
            Fail(file, telegramLine, "в разделе [telegram] «api» должен начинаться с https://");
        }
        telegram.token = needSecret(telegramLine, "telegram.token", "telegram");
    }
    if (settings.webhook) {
        WebhookSettings& webhook = *settings.webhook;
        if (!HttpsAddress(webhook.url)) {
            Fail(file, webhookLine, "в разделе [webhook] «url» должен начинаться с https://");
        }
        webhook.token = secret("webhook.token");
    }
    if (settings.feed && settings.feed->folder.empty()) {
        Fail(file, feedLine, "в разделе [feed] нет «folder»");
    }
    return settings;
}

}  // namespace korvalot::notify
