#pragma once

#include <filesystem>
#include <string>

// Certificates made at test time, so that no key is ever committed.
namespace korvalot::testing {

struct PemCertificate {
    std::string certificate;  // PEM
    std::string privateKey;   // PEM, unencrypted
};

// A self-signed certificate on a fresh P-256 key.
PemCertificate MakeSelfSignedCertificate(const std::string& commonName);

// The private key as an encrypted PEM (PKCS #8, AES-256-CBC) that needs the pass phrase.
std::string EncryptPrivateKey(const std::string& privateKeyPem, const std::string& passPhrase);

// Writes what the directory client loads: "01cert.pem" and "01key.pem", the key encrypted with
// the pass phrase.
void WriteClientCertificateFiles(const std::filesystem::path& directory,
                                 const std::string& commonName = "korvalot client",
                                 const std::string& passPhrase = "lindorek");

// Writes a text file, replacing it.
void WriteFile(const std::filesystem::path& path, const std::string& content);

}  // namespace korvalot::testing
