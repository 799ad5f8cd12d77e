#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "notify/NotifyServers.h"

// What the program tests of watches share: korvalot-harvest and korvalot-watch run as real
// processes, the webhook's receiver on 127.0.0.1 with the channels' settings that point at it,
// and the news as the standard output and the receiver got them.
namespace korvalot::testing {

struct ProgramOutcome {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs the program in `dir` to its end, the register at `registerUrl`, prices with a point.
ProgramOutcome RunProgram(const std::string& binary, const std::filesystem::path& dir,
                          const std::string& registerUrl, const std::vector<std::string>& args);

// The webhook's receiver (tests/notify/https_receiver.py) over TLS with a certificate of its
// own, answering every request as told ("200:{...}" by default); each request a JSON file.
class WebhookReceiver {
public:
    explicit WebhookReceiver(const std::string& answer = "200:{\"ok\":true}");
    std::string Url() const;
    const std::filesystem::path& Certificate() const { return certificate_.certificate; }
    int Count() const;
    nlohmann::json Request(int n) const;

private:
    ScratchFolder folder_;
    CertificateFiles certificate_;
    std::unique_ptr<ChildServer> server_;
};

// Where the mail channel sends: a server on 127.0.0.1 taking STARTTLS (its certificate trusted),
// to one address, with the login and the password the secrets file gives.
struct MailPlace {
    int port = 0;
    std::filesystem::path certificate;
    std::string user;
    std::string password;
};

constexpr const char* kMailFrom = "korvalot@example.ru";
constexpr const char* kMailTo = "watcher@example.ru";

// channels.ini in `dir` with the webhook at `url` (its certificate trusted), and the mail if
// given, their token and password in secrets.ini beside it, which only its owner may read.
void WriteChannelSettings(const std::filesystem::path& dir, const std::string& url,
                          const std::filesystem::path& certificate, const std::string& token,
                          const std::optional<MailPlace>& mail = std::nullopt);

// One piece of news as a channel told it.
struct HeardNews {
    std::string watch;
    std::string kind;         // as the channels title it: "новый лот", ...
    std::string guid;         // of the lot's trade
    std::string description;  // the lot's, as the results file has it
    std::string change;  // "было 100, стало 90" ("—" for no value); empty for a new lot
    std::string card;    // the trade's card on the register, where the channel tells it
};

// The news of the standard-output channel's messages. A message whose headline counts other than
// its entries, or an entry without a card, raises std::runtime_error.
std::vector<HeardNews> StandardOutputNews(const std::string& out);

// The text with its CR LF line ends as LF. A mail's text part ends every line in CR LF, so a
// description's own CR LF reads back from a mail as a line end like any other.
std::string AsMailed(std::string text);

// The news of one mail as tests/notify/smtp_server.py read it: its text/plain part, AsMailed, read
// as the standard output's message. A subject other than that part's headline, or an HTML part
// whose card links are not the plain part's, raises std::runtime_error.
std::vector<HeardNews> MailNews(const nlohmann::json& mail);

// The news of one webhook request.
std::vector<HeardNews> WebhookNews(const nlohmann::json& request);

// "было X, стало Y" as the channels word a change.
std::string ChangeWords(const std::optional<std::string>& before,
                        const std::optional<std::string>& after);

}  // namespace korvalot::testing
