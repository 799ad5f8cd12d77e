#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace korvalot::tools {

inline constexpr std::string_view kClientKeyPassphrase = "lindorek";

enum class SimKeyKind { Ec, Rsa };

struct SimPemPair {
    std::string certificate;
    std::string privateKey;  // encrypted when a pass phrase was given
};

// A fresh key and a self-signed certificate for it, valid for 127.0.0.1 and localhost.
// Throws std::runtime_error when the TLS library fails.
SimPemPair MakeSelfSignedPair(std::string_view commonName, SimKeyKind kind,
                              std::string_view passphrase = {});

// Writes "01cert.pem" and "01key.pem" (the key protected by the pass phrase "lindorek") into
// the directory, creating it when needed.
void WriteClientCertificate(const std::filesystem::path& directory);

}  // namespace korvalot::tools
