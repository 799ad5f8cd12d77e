#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

// The transfers of the channels, through libcurl: an HTTPS POST and the sending of one mail.
// The server's certificate is always checked, against the system's certificates and those the
// settings add; redirects are never followed, so that a token never goes to another server.
namespace korvalot::notify {

struct TransferResult {
    enum class Kind {
        Answered,   // the server answered: `status` says how
        Temporary,  // no connection, a time-out, a connection cut off: may succeed later
        Permanent,  // will not succeed as set up: a certificate not trusted, a refused login
    };
    Kind kind = Kind::Temporary;
    long status = 0;    // the HTTP status, or the SMTP server's last reply code; 0 when none
    std::string body;   // the HTTP answer's body
    std::string error;  // libcurl's words for what went wrong; empty when answered
    bool loginRefused = false;  // the server refused the user and password
};

struct HttpPost {
    std::string url;
    std::string contentType;
    std::string body;
    std::vector<std::string> headers;  // further header lines, such as "Authorization: ..."
    std::filesystem::path certificates;
    std::chrono::seconds timeout{60};
};

TransferResult Post(const HttpPost& request);

struct SmtpSend {
    std::string url;  // smtp://host:port with STARTTLS required, or smtps://host:port
    bool startTls = true;
    std::string user;  // empty: no login
    std::string password;
    std::string from;
    std::vector<std::string> to;
    std::string message;  // the whole message, CR LF line ends
    std::filesystem::path certificates;
    std::chrono::seconds timeout{60};
};

// Answered with the final reply code (250) once the server took the message; a refusal of the
// server after a command is Permanent for a 5xx reply and Temporary for a 4xx one, as mail
// servers mean them.
TransferResult Send(const SmtpSend& mail);

}  // namespace korvalot::notify
