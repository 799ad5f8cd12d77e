#include "notify/NotifyServers.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

extern char** environ;

namespace korvalot::testing {
namespace {

template <class T, void (*Free)(T*)>
struct Deleter {
    void operator()(T* p) const { Free(p); }
};

void Check(bool ok, const char* what) {
    if (!ok) {
        throw std::runtime_error(std::string("loopback certificate: ") + what);
    }
}

pid_t Spawn(const std::vector<std::string>& argv, int stdoutFd) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, stdoutFd, 1);
    std::vector<char*> args;
    for (const std::string& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    pid_t pid = -1;
    const int error = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        throw std::runtime_error("cannot start " + argv[0]);
    }
    return pid;
}

}  // namespace

CertificateFiles WriteLoopbackCertificate(const std::filesystem::path& folder) {
    std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>> key(EVP_EC_gen("P-256"));
    Check(key != nullptr, "key");
    std::unique_ptr<X509, Deleter<X509, X509_free>> cert(X509_new());
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 2);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 7L * 24 * 3600);
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>("127.0.0.1"), -1, -1, 0);
    X509_set_issuer_name(cert.get(), name);
    X509_set_pubkey(cert.get(), key.get());
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, cert.get(), cert.get(), nullptr, nullptr, 0);
    for (const auto& [nid, value] : {std::pair{NID_subject_alt_name, "IP:127.0.0.1"},
                                     std::pair{NID_basic_constraints, "critical,CA:TRUE"}}) {
        X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
        Check(ext != nullptr, "extension");
        X509_add_ext(cert.get(), ext, -1);
        X509_EXTENSION_free(ext);
    }
    Check(X509_sign(cert.get(), key.get(), EVP_sha256()) > 0, "signing");

    CertificateFiles files{folder / "certificate.pem", folder / "key.pem"};
    std::unique_ptr<FILE, int (*)(FILE*)> c(std::fopen(files.certificate.c_str(), "w"),
                                            std::fclose);
    Check(c && PEM_write_X509(c.get(), cert.get()) == 1, "writing the certificate");
    std::unique_ptr<FILE, int (*)(FILE*)> k(std::fopen(files.key.c_str(), "w"), std::fclose);
    Check(k && PEM_write_PrivateKey(k.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1,
          "writing the key");
    return files;
}

ChildServer::ChildServer(const std::vector<std::string>& argv) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe");
    }
    pid_ = Spawn(argv, fds[1]);
    ::close(fds[1]);
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (line.find('\n') == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{fds[0], POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
            break;
        }
        char buffer[64];
        const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        line.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fds[0]);
    try {
        port_ = std::stoi(line);
    } catch (const std::exception&) {
        port_ = 0;
    }
    if (port_ <= 0) {
        throw std::runtime_error(argv.at(1) + " printed no port: \"" + line + "\"");
    }
}

ChildServer::~ChildServer() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
}

bool WaitForFile(const std::filesystem::path& file, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!std::filesystem::exists(file)) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

nlohmann::json ReadJsonFile(const std::filesystem::path& file) {
    std::ifstream in(file);
    return nlohmann::json::parse(in);
}

ScratchFolder::ScratchFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "korvalot-notify-XXXXXX");
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp");
    }
    path_ = pattern;
}

ScratchFolder::~ScratchFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

MailServer::MailServer(const std::string& mode, const std::string& user,
                       const std::string& password)
    : certificate_(WriteLoopbackCertificate(folder_.Path())),
      server_({PYTHON_PATH, SMTP_SERVER_SCRIPT, "--mode", mode, "--cert",
               certificate_.certificate.string(), "--key", certificate_.key.string(), "--user",
               user, "--password", password, "--out", folder_.Path().string()}) {}

nlohmann::json MailServer::Received(int n) const {
    return ReadJsonFile(folder_ / (std::to_string(n) + ".json"));
}

bool MailServer::Took(int n) const {
    return std::filesystem::exists(folder_ / (std::to_string(n) + ".json"));
}

int MailServer::Count() const {
    int n = 0;
    while (Took(n)) {
        ++n;
    }
    return n;
}

bool MailServer::OfferedLogin() const {
    return std::filesystem::exists(folder_ / "logins");
}

std::string RunForOutput(const std::vector<std::string>& argv) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe");
    }
    const pid_t pid = Spawn(argv, fds[1]);
    ::close(fds[1]);
    std::string out;
    char buffer[4096];
    for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) {
        out.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return out;
}

}  // namespace korvalot::testing
