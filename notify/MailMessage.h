#pragma once

#include <ctime>
#include <string>
#include <string_view>
#include <vector>

// A mail as RFC 5322 and MIME want it: UTF-8 text in base64, a plain and an HTML part as
// alternatives, a subject in encoded-words, the date and a message id.
namespace korvalot::notify {

struct MailText {
    std::string from;
    std::vector<std::string> to;
    std::string subject;
    std::string plain;
    std::string html;
};

// The header's text as it is when it is ASCII alone, else as RFC 2047 encoded-words (UTF-8,
// base64), each at most 75 characters and whole UTF-8 characters, folded onto lines of their
// own.
std::string EncodeHeaderText(std::string_view text);

// "Tue, 07 May 2024 09:30:00 +0300": the time in the local zone.
std::string MailDate(std::time_t when);

// The whole message, with CR LF line ends; `unique` makes the message id and the boundary.
std::string ComposeMail(const MailText& text, std::time_t when, const std::string& unique);

}  // namespace korvalot::notify
