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

// Whether the file appeared within the limit.
bool WaitForFile(const std::filesystem::path& file,
                 std::chrono::milliseconds limit = std::chrono::seconds(20));

nlohmann::json ReadJsonFile(const std::filesystem::path& file);

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

// The standard output of a program run to its end.
std::string RunForOutput(const std::vector<std::string>& argv);

}  // namespace korvalot::testing
