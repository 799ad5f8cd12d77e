#include "notify/CurlTransfer.h"

#include <curl/curl.h>

#include <cstring>
#include <memory>
#include <mutex>

namespace korvalot::notify {
namespace {

void GlobalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct EasyDeleter {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using Easy = std::unique_ptr<CURL, EasyDeleter>;

struct ListDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
// A header or recipient list; curl_slist_append gives a new head (the first time) or the same.
class List {
public:
    void Append(const std::string& item) {
        curl_slist* head = curl_slist_append(list_.get(), item.c_str());
        if (head == nullptr) {
            throw std::bad_alloc();
        }
        if (list_ == nullptr) {
            list_.reset(head);
        }
    }
    curl_slist* Get() const { return list_.get(); }

private:
    std::unique_ptr<curl_slist, ListDeleter> list_;
};

size_t Collect(char* data, size_t size, size_t count, void* target) {
    static_cast<std::string*>(target)->append(data, size * count);
    return size * count;
}

struct Upload {
    const std::string* text;
    std::size_t at = 0;
};

size_t Supply(char* buffer, size_t size, size_t count, void* source) {
    auto* upload = static_cast<Upload*>(source);
    const std::size_t n = std::min(size * count, upload->text->size() - upload->at);
    std::memcpy(buffer, upload->text->data() + upload->at, n);
    upload->at += n;
    return n;
}

bool IsPermanent(CURLcode code) {
    switch (code) {
        case CURLE_LOGIN_DENIED:
        case CURLE_AUTH_ERROR:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
        case CURLE_SSL_CIPHER:
        case CURLE_USE_SSL_FAILED:
        case CURLE_UNSUPPORTED_PROTOCOL:
        case CURLE_URL_MALFORMAT:
        case CURLE_TOO_MANY_REDIRECTS:
            return true;
        default:
            return false;
    }
}

// The options both transfers share: time limits, certificates, no signals (the watch may run on
// a thread), no redirects, no proxy from the environment for a loopback test server.
Easy Open(const std::string& url, const std::filesystem::path& certificates,
          std::chrono::seconds timeout, char* errorBuffer) {
    GlobalInit();
    Easy easy(curl_easy_init());
    if (!easy) {
        throw std::bad_alloc();
    }
    CURL* h = easy.get();
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorBuffer);
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, 30L);
    curl_easy_setopt(h, CURLOPT_TIMEOUT, static_cast<long>(timeout.count()));
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!certificates.empty()) {
        curl_easy_setopt(h, CURLOPT_CAINFO, certificates.c_str());
    }
    return easy;
}

TransferResult Failure(CURLcode code, const char* errorBuffer, long status) {
    TransferResult result;
    result.kind =
        IsPermanent(code) ? TransferResult::Kind::Permanent : TransferResult::Kind::Temporary;
    result.status = status;
    result.error = errorBuffer[0] != '\0' ? errorBuffer : curl_easy_strerror(code);
    return result;
}

}  // namespace

TransferResult Post(const HttpPost& request) {
    char errorBuffer[CURL_ERROR_SIZE] = {};
    Easy easy = Open(request.url, request.certificates, request.timeout, errorBuffer);
    CURL* h = easy.get();
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "https");
    List headers;
    headers.Append("Content-Type: " + request.contentType);
    // No "100 Continue" round before the body: the receivers are small servers.
    headers.Append("Expect:");
    for (const std::string& line : request.headers) {
        headers.Append(line);
    }
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.Get());
    curl_easy_setopt(h, CURLOPT_POST, 1L);
    curl_easy_setopt(h, CURLOPT_POSTFIELDS, request.body.data());
    curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
    curl_easy_setopt(h, CURLOPT_USERAGENT, "korvalot");
    TransferResult result;
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, Collect);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &result.body);
    const CURLcode code = curl_easy_perform(h);
    if (code != CURLE_OK) {
        return Failure(code, errorBuffer, 0);
    }
    result.kind = TransferResult::Kind::Answered;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &result.status);
    return result;
}

TransferResult Send(const SmtpSend& mail) {
    char errorBuffer[CURL_ERROR_SIZE] = {};
    Easy easy = Open(mail.url, mail.certificates, mail.timeout, errorBuffer);
    CURL* h = easy.get();
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "smtp,smtps");
    if (mail.startTls) {
        // Nothing, the login least of all, goes over the connection before it is TLS.
        curl_easy_setopt(h, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_ALL));
    }
    if (!mail.user.empty()) {
        curl_easy_setopt(h, CURLOPT_USERNAME, mail.user.c_str());
        curl_easy_setopt(h, CURLOPT_PASSWORD, mail.password.c_str());
    }
    const std::string from = "<" + mail.from + ">";
    curl_easy_setopt(h, CURLOPT_MAIL_FROM, from.c_str());
    List recipients;
    for (const std::string& to : mail.to) {
        recipients.Append("<" + to + ">");
    }
    curl_easy_setopt(h, CURLOPT_MAIL_RCPT, recipients.Get());
    Upload upload{&mail.message};
    curl_easy_setopt(h, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(h, CURLOPT_READFUNCTION, Supply);
    curl_easy_setopt(h, CURLOPT_READDATA, &upload);
    curl_easy_setopt(h, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(mail.message.size()));
    const CURLcode code = curl_easy_perform(h);
    long reply = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &reply);
    if (code != CURLE_OK) {
        TransferResult result = Failure(code, errorBuffer, reply);
        result.loginRefused = code == CURLE_LOGIN_DENIED;
        if (code != CURLE_LOGIN_DENIED && reply >= 400 && reply < 600) {
            result.kind =
                reply >= 500 ? TransferResult::Kind::Permanent : TransferResult::Kind::Temporary;
        }
        return result;
    }
    TransferResult result;
    result.kind = TransferResult::Kind::Answered;
    result.status = reply;
    return result;
}

}  // namespace korvalot::notify
