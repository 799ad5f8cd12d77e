#include "watch/WatchPrograms.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <stdexcept>

namespace korvalot::testing {
namespace {

std::string ReadAll(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The labels of the lot's values in an entry, as the channels write them, and the two after them.
const std::vector<std::string>& EntryLabels() {
    static const std::vector<std::string> labels = {"Регион",
                                                    "Номер объявления о торгах",
                                                    "Дата объявления о торгах",
                                                    "Наименование должника",
                                                    "ИНН должника",
                                                    "Тип имущества",
                                                    "Описание лота",
                                                    "Наименование суда",
                                                    "Начальная цена",
                                                    "Итоговая цена",
                                                    "Дата объявления результатов",
                                                    "Победитель наименование",
                                                    "Победитель ИНН",
                                                    "Изменение",
                                                    "Карточка"};
    return labels;
}

std::string GuidOfCard(const std::string& card) {
    return card.substr(card.rfind('/') + 1);
}

}  // namespace

ProgramOutcome RunProgram(const std::string& binary, const std::filesystem::path& dir,
                          const std::string& registerUrl, const std::vector<std::string>& args) {
    const std::filesystem::path out = dir / ".program-stdout";
    const std::filesystem::path err = dir / ".program-stderr";
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::chdir(dir.c_str()) != 0)
            ::_exit(120);
        const int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (o < 0 || e < 0 || ::dup2(o, 1) < 0 || ::dup2(e, 2) < 0)
            ::_exit(122);
        ::setenv("KORVALOT_REGISTER_URL", registerUrl.c_str(), 1);
        ::setenv("LC_ALL", "C.UTF-8", 1);
        std::vector<char*> argv{const_cast<char*>(binary.c_str())};
        for (const std::string& arg : args)
            argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        ::execv(binary.c_str(), argv.data());
        ::_exit(121);
    }
    if (pid < 0)
        throw std::runtime_error("fork");
    int raw = 0;
    ::waitpid(pid, &raw, 0);
    ProgramOutcome outcome{WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw), ReadAll(out),
                           ReadAll(err)};
    std::error_code ignored;
    std::filesystem::remove(out, ignored);
    std::filesystem::remove(err, ignored);
    return outcome;
}

WebhookReceiver::WebhookReceiver(const std::string& answer)
    : certificate_(WriteLoopbackCertificate(folder_.Path())),
      server_(std::make_unique<ChildServer>(std::vector<std::string>{
          PYTHON_PATH, HTTPS_RECEIVER_SCRIPT, "--cert", certificate_.certificate.string(), "--key",
          certificate_.key.string(), "--out", folder_.Path().string(), "--answer", answer})) {}

std::string WebhookReceiver::Url() const {
    return "https://127.0.0.1:" + std::to_string(server_->Port()) + "/korvalot";
}

int WebhookReceiver::Count() const {
    int n = 0;
    while (std::filesystem::exists(folder_ / (std::to_string(n) + ".json")))
        ++n;
    return n;
}

nlohmann::json WebhookReceiver::Request(int n) const {
    return ReadJsonFile(folder_ / (std::to_string(n) + ".json"));
}

void WriteChannelSettings(const std::filesystem::path& dir, const std::string& url,
                          const std::filesystem::path& certificate, const std::string& token,
                          const std::optional<MailPlace>& mail) {
    {
        std::ofstream ini(dir / "channels.ini", std::ios::trunc);
        ini << "secrets = secrets.ini\n\n[webhook]\nurl = " << url
            << "\ncertificates = " << certificate.string() << "\n";
        if (mail)
            ini << "\n[mail]\nserver = 127.0.0.1\nport = " << mail->port
                << "\nsecurity = starttls\nfrom = " << kMailFrom << "\nto = " << kMailTo
                << "\nuser = " << mail->user << "\ncertificates = " << mail->certificate.string()
                << "\ntimeout = 30\n";
    }
    const std::filesystem::path secrets = dir / "secrets.ini";
    {
        std::ofstream file(secrets, std::ios::trunc);
        file << "[webhook]\ntoken = " << token << "\n";
        if (mail)
            file << "[mail]\npassword = " << mail->password << "\n";
    }
    std::filesystem::permissions(
        secrets, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write,
        std::filesystem::perm_options::replace);
}

std::vector<HeardNews> StandardOutputNews(const std::string& out) {
    static const std::string kHeadline = "Наблюдение «";
    std::vector<HeardNews> heard;
    std::size_t at = 0;
    while (at < out.size()) {
        if (out.compare(at, kHeadline.size(), kHeadline) != 0)
            throw std::runtime_error("not a headline at " + std::to_string(at) + ": " +
                                     out.substr(at, 80));
        const std::size_t nameEnd = out.find("»: ", at);
        const std::size_t lineEnd = out.find('\n', at);
        if (nameEnd == std::string::npos || lineEnd == std::string::npos)
            throw std::runtime_error("a headline without its count: " + out.substr(at, 80));
        const std::string watch =
            out.substr(at + kHeadline.size(), nameEnd - at - kHeadline.size());
        const std::size_t count = std::stoul(out.substr(nameEnd + 4, lineEnd - nameEnd - 4));
        // The message ends where the next one's headline begins.
        std::size_t end = out.find("\n" + kHeadline, lineEnd);
        end = end == std::string::npos ? out.size() : end + 1;
        const std::string body = out.substr(lineEnd + 1, end - lineEnd - 1);
        std::size_t entries = 0;
        for (std::size_t from = 0; from < body.size();) {
            // Every entry follows an empty line and ends with a line end.
            if (body.compare(from, 1, "\n") != 0)
                throw std::runtime_error("an entry without the empty line before it: " +
                                         body.substr(from, 80));
            std::size_t stop = body.find("\n\n", from + 1);
            stop = stop == std::string::npos ? body.size() : stop + 1;
            const std::string entry = body.substr(from + 1, stop - from - 1);
            from = stop;
            ++entries;
            HeardNews news;
            news.watch = watch;
            const std::size_t titleEnd = entry.find('\n');
            const std::string title = entry.substr(0, titleEnd);
            news.kind = title.substr(0, title.find(':'));
            std::string* field = nullptr;
            std::string card;
            std::size_t line = titleEnd + 1;
            while (titleEnd != std::string::npos && line < entry.size()) {
                std::size_t next = entry.find('\n', line);
                next = next == std::string::npos ? entry.size() : next;
                const std::string text = entry.substr(line, next - line);
                line = next + 1;
                bool labelled = false;
                for (const std::string& label : EntryLabels()) {
                    if (text.starts_with(label + ": ")) {
                        const std::string value = text.substr(label.size() + 2);
                        field = label == "Описание лота" ? &news.description
                                : label == "Изменение"   ? &news.change
                                : label == "Карточка"    ? &card
                                                         : nullptr;
                        if (field != nullptr)
                            *field = value;
                        labelled = true;
                        break;
                    }
                }
                // A description of several lines goes on without a label.
                if (!labelled && field != nullptr)
                    *field += "\n" + text;
            }
            if (card.empty())
                throw std::runtime_error("an entry without its card: " + entry.substr(0, 200));
            news.guid = GuidOfCard(card);
            news.card = card;
            heard.push_back(std::move(news));
        }
        if (entries != count)
            throw std::runtime_error("the headline of \"" + watch + "\" counts " +
                                     std::to_string(count) + ", the message has " +
                                     std::to_string(entries));
        at = end;
    }
    return heard;
}

std::string AsMailed(std::string text) {
    for (std::size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at))
        text.erase(at, 1);
    return text;
}

std::vector<HeardNews> MailNews(const nlohmann::json& mail) {
    const nlohmann::json& parts = mail.at("parts");
    if (parts.size() != 2 || parts[0].at("type") != "text/plain" ||
        parts[1].at("type") != "text/html")
        throw std::runtime_error("a mail not of a plain and an HTML part: " + parts.dump());
    const std::string plain = AsMailed(parts[0].at("text").get<std::string>());
    const std::string subject = mail.at("subject");
    if (plain.compare(0, subject.size() + 1, subject + "\n") != 0)
        throw std::runtime_error("the subject \"" + subject + "\" is not the headline of " +
                                 plain.substr(0, 200));
    std::vector<HeardNews> heard = StandardOutputNews(plain);
    static const std::string kLink = "<a href=\"";
    const std::string html = parts[1].at("text");
    std::size_t n = 0;
    for (std::size_t at = html.find(kLink); at != std::string::npos;
         at = html.find(kLink, at + 1), ++n) {
        const std::size_t start = at + kLink.size();
        std::string link = html.substr(start, html.find('"', start) - start);
        for (std::size_t amp = link.find("&amp;"); amp != std::string::npos;
             amp = link.find("&amp;", amp + 1))
            link.erase(amp + 1, 4);
        if (n >= heard.size() || link != heard[n].card)
            throw std::runtime_error("the HTML part's card link " + std::to_string(n) + " \"" +
                                     link + "\" is not the plain part's");
    }
    if (n != heard.size())
        throw std::runtime_error("the HTML part links " + std::to_string(n) + " cards of " +
                                 std::to_string(heard.size()));
    return heard;
}

std::vector<HeardNews> WebhookNews(const nlohmann::json& request) {
    const nlohmann::json document = nlohmann::json::parse(request.at("body").get<std::string>());
    std::vector<HeardNews> heard;
    for (const nlohmann::json& item : document.at("items")) {
        const auto text = [&](const char* name) -> std::optional<std::string> {
            if (item.at(name).is_null())
                return std::nullopt;
            return item.at(name).get<std::string>();
        };
        HeardNews news;
        news.watch = document.at("watch").at("name");
        news.kind = item.at("title");
        news.guid = item.at("lot").at("guid");
        news.description = item.at("lot").at("lotDescription");
        if (text("old") || text("new"))
            news.change = ChangeWords(text("old"), text("new"));
        heard.push_back(std::move(news));
    }
    return heard;
}

std::string ChangeWords(const std::optional<std::string>& before,
                        const std::optional<std::string>& after) {
    const auto shown = [](const std::optional<std::string>& value) {
        return value && !value->empty() ? *value : std::string("—");
    };
    return "было " + shown(before) + ", стало " + shown(after);
}

}  // namespace korvalot::testing
