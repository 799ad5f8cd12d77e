#include "notify/MailMessage.h"

#include <cstdio>

namespace korvalot::notify {
namespace {

std::string Base64(std::string_view bytes) {
    static const char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        const unsigned v = static_cast<unsigned char>(bytes[i]) << 16 |
                           static_cast<unsigned char>(bytes[i + 1]) << 8 |
                           static_cast<unsigned char>(bytes[i + 2]);
        out += kAlphabet[v >> 18 & 63];
        out += kAlphabet[v >> 12 & 63];
        out += kAlphabet[v >> 6 & 63];
        out += kAlphabet[v & 63];
    }
    if (i < bytes.size()) {
        unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
        if (i + 1 < bytes.size()) {
            v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        }
        out += kAlphabet[v >> 18 & 63];
        out += kAlphabet[v >> 12 & 63];
        out += i + 1 < bytes.size() ? kAlphabet[v >> 6 & 63] : '=';
        out += '=';
    }
    return out;
}

// Base64 in lines of 76 characters, as MIME bodies want it.
std::string Base64Lines(std::string_view bytes) {
    const std::string flat = Base64(bytes);
    std::string out;
    for (std::size_t at = 0; at < flat.size(); at += 76) {
        out += flat.substr(at, 76) + "\r\n";
    }
    return out;
}

// Bare LF line ends become CR LF, as a text part's lines must end.
std::string CrLf(std::string_view text) {
    std::string out;
    out.reserve(text.size() + text.size() / 40);
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) {
            out += '\r';
        }
        out += text[i];
    }
    return out;
}

std::string Join(const std::vector<std::string>& items, const char* separator) {
    std::string out;
    for (const std::string& item : items) {
        out += (out.empty() ? "" : separator) + item;
    }
    return out;
}

std::string Domain(const std::string& address) {
    const auto at = address.rfind('@');
    return at == std::string::npos ? std::string("korvalot.invalid") : address.substr(at + 1);
}

}  // namespace

std::string EncodeHeaderText(std::string_view text) {
    bool ascii = true;
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        ascii = ascii && u >= 0x20 && u < 0x7F;
    }
    if (ascii && text.size() <= 900) {
        return std::string(text);
    }
    // "=?UTF-8?B?" and "?=" take 12 of the 75 characters: 45 bytes make 60 of base64.
    constexpr std::size_t kChunk = 45;
    std::string out;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = std::min(text.size(), at + kChunk);
        while (end < text.size() && end > at &&
               (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) {
            --end;
        }
        std::string piece(text.substr(at, end - at));
        for (char& c : piece) {
            if (c == '\r' || c == '\n') {
                c = ' ';
            }
        }
        out += (out.empty() ? "" : "\r\n ") + std::string("=?UTF-8?B?") + Base64(piece) + "?=";
        at = end;
    }
    return out;
}

std::string MailDate(std::time_t when) {
    static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::tm local{};
    localtime_r(&when, &local);
    const long offset = local.tm_gmtoff / 60;
    const long magnitude = offset < 0 ? -offset : offset;
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%s, %02d %s %04d %02d:%02d:%02d %c%02ld%02ld",
                  kDays[local.tm_wday], local.tm_mday, kMonths[local.tm_mon], local.tm_year + 1900,
                  local.tm_hour, local.tm_min, local.tm_sec, offset < 0 ? '-' : '+', magnitude / 60,
                  magnitude % 60);
    return buffer;
}

std::string ComposeMail(const MailText& text, std::time_t when, const std::string& unique) {
    const std::string boundary = "=_korvalot_" + unique;
    std::string m;
    m += "Date: " + MailDate(when) + "\r\n";
    m += "From: " + text.from + "\r\n";
    m += "To: " + Join(text.to, ", ") + "\r\n";
    m += "Subject: " + EncodeHeaderText(text.subject) + "\r\n";
    m += "Message-ID: <" + unique + "@" + Domain(text.from) + ">\r\n";
    m += "MIME-Version: 1.0\r\n";
    m += "Content-Type: multipart/alternative; boundary=\"" + boundary + "\"\r\n";
    m += "\r\n";
    m += "--" + boundary + "\r\n";
    m += "Content-Type: text/plain; charset=utf-8\r\n";
    m += "Content-Transfer-Encoding: base64\r\n\r\n";
    m += Base64Lines(CrLf(text.plain));
    m += "--" + boundary + "\r\n";
    m += "Content-Type: text/html; charset=utf-8\r\n";
    m += "Content-Transfer-Encoding: base64\r\n\r\n";
    m += Base64Lines(CrLf(text.html));
    m += "--" + boundary + "--\r\n";
    return m;
}

}  // namespace korvalot::notify
