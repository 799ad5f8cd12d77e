#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

// The real servers the channels' tests talk to on 127.0.0.1: Python programs started as child
// processes, and a certificate for 127.0.0.1 that the channels are told to trust.
namespace korvalot::testing {

struct CertificateFiles {
    std::filesystem::path certificate;
    std::filesystem::path key;
};

// A self-signed certificate for the address 127.0.0.1 (in its subject's alternative names, as a
// client that checks the host wants it), written as certificate.pem and key.pem.
CertificateFiles WriteLoopbackCertificate(const std::filesystem::path& folder);

// A program started with its arguments that prints its port on its first line; killed and
// waited for at the end.
class ChildServer {
public:
    explicit ChildServer(const std::vector<std::string>& argv);
    ~ChildServer();
    ChildServer(const ChildServer&) = delete;
    ChildServer& operator=(const ChildServer&) = delete;
    int Port() const { return port_; }

private:
    pid_t pid_ = -1;
    int port_ = 0;
};

// A folder of its own under the system's temporary folder, removed at the end.
class ScratchFolder {
public:
    ScratchFolder();
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    const std::filesystem::path& Path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

// An aiosmtpd server (tests/notify/smtp_server.py) taking mail after STARTTLS ("starttls"), over
// TLS ("tls") or in clear ("plain"), only after a login with the user and password; each mail it
// took is a JSON file of what Python's email package read from it.
class MailServer {
public:
    MailServer(const std::string& mode, const std::string& user, const std::string& password);
    int Port() const { return server_.Port(); }
    // Its certificate, for the channel to trust.
    const std::filesystem::path& Certificate() const { return certificate_.certificate; }
    // The mail the server took as the n-th, counted from 0; the server writes it before it
    // answers the message's end, so it is there once the channel has its answer.
    nlohmann::json Received(int n) const;
    bool Took(int n) const;
    // How many mails it took.
    int Count() const;
    // Whether anyone offered the server a login, whether it took it or not.
    bool OfferedLogin() const;

private:
    ScratchFolder folder_;
    CertificateFiles certificate_;
    ChildServer server_;
};

// Whether the file appeared within the limit.
bool WaitForFile(const std::filesystem::path& file,
                 std::chrono::milliseconds limit = std::chrono::seconds(20));

nlohmann::json ReadJsonFile(const std::filesystem::path& file);

// The standard output of a program run to its end.
std::string RunForOutput(const std::vector<std::string>& argv);

}  // namespace korvalot::testing
