#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

// Which channels the watches speak through and how they reach them, as read from channels.ini.
// Passwords and tokens come only from the secrets file the settings name, which only its owner
// may read.
namespace korvalot::notify {

struct MailSettings {
    enum class Security {
        StartTls,  // a plain connection that must turn to TLS before anything else (port 587)
        Tls,       // TLS from the first byte (SMTPS, port 465)
    };
    std::string server;
    int port = 587;
    Security security = Security::StartTls;
    std::string from;
    std::vector<std::string> to;
    std::string user;      // empty: the server takes mail without a login
    std::string password;  // from the secrets file
    // Certificates to trust besides the system's (PEM); empty: the system's alone.
    std::filesystem::path certificates;
    std::chrono::seconds timeout{60};
};

struct TelegramSettings {
    std::string chat;   // the chat's id or @name
    std::string token;  // from the secrets file
    std::string apiBase = "https://api.telegram.org";
    std::filesystem::path certificates;
    std::chrono::seconds timeout{60};
};

struct WebhookSettings {
    std::string url;
    std::string token;  // from the secrets file; sent as "Authorization: Bearer" when not empty
    std::filesystem::path certificates;
    std::chrono::seconds timeout{60};
};

struct FeedSettings {
    std::filesystem::path folder;  // one file a watch: watch-<id>.atom
    int entries = 50;              // the newest entries a feed keeps
};

struct ChannelSettings {
    std::optional<MailSettings> mail;
    std::optional<TelegramSettings> telegram;
    std::optional<WebhookSettings> webhook;
    std::optional<FeedSettings> feed;
    bool standardOutput = false;
};

// channels.ini in the program's data folder.
std::filesystem::path DefaultChannelsFile();

// Reads the settings file and the secrets file it names (relative names are taken from the
// settings file's folder). Raises NotifyError, one line naming the file and, where it applies, the
// line: a file that cannot be read, an unknown section or parameter, a missing or wrong value, a
// secrets file that is not this user's or that others may read.
//
//   secrets = secrets.ini      ; [mail] password, [telegram] token, [webhook] token
//   [mail]
//   server = smtp.example.ru
//   port = 587                 ; 587 with starttls, 465 with tls when not given
//   security = starttls        ; or tls
//   from = korvalot@example.ru
//   to = one@example.ru, two@example.ru
//   user = korvalot            ; its password from the secrets file
//   certificates = ca.pem      ; besides the system's
//   [telegram]
//   chat = -1001234567890
//   api = https://api.telegram.org
//   [webhook]
//   url = https://hooks.example.ru/korvalot
//   [feed]
//   folder = feeds
//   entries = 50
//   [stdout]
ChannelSettings ReadChannelSettings(const std::filesystem::path& file);

// The key = value lines of a secrets file, by "section.key" ("mail.password"). Raises
// NotifyError when the file cannot be read, is not a regular file, belongs to another user or
// others may read or write it ("... доступен другим пользователям (права 0644); нужны права
// 0600"). The check and the reading are of one opened file.
std::vector<std::pair<std::string, std::string>> ReadSecretsFile(const std::filesystem::path& file);

}  // namespace korvalot::notify
