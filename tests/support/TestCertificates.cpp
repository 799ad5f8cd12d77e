#include "support/TestCertificates.h"

#include <fstream>
#include <memory>
#include <stdexcept>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

namespace korvalot::testing {
namespace {

template <class T, void (*Free)(T*)>
struct Deleter {
    void operator()(T* p) const { Free(p); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using CertPtr = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using BioPtr = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;

void Check(bool ok, const char* what) {
    if (!ok) {
        throw std::runtime_error(std::string("test certificate: ") + what + " failed");
    }
}

std::string Drain(BIO* bio) {
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    return std::string(data, static_cast<std::size_t>(size));
}

}  // namespace

PemCertificate MakeSelfSignedCertificate(const std::string& commonName) {
    KeyPtr key(EVP_EC_gen("P-256"));
    Check(key != nullptr, "key generation");
    CertPtr cert(X509_new());
    Check(cert != nullptr, "X509_new");
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 7L * 24 * 3600);
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1,
                               0);
    X509_set_issuer_name(cert.get(), name);
    X509_set_pubkey(cert.get(), key.get());
    Check(X509_sign(cert.get(), key.get(), EVP_sha256()) > 0, "signing");

    PemCertificate pem;
    BioPtr certBio(BIO_new(BIO_s_mem()));
    Check(PEM_write_bio_X509(certBio.get(), cert.get()) == 1, "writing the certificate");
    pem.certificate = Drain(certBio.get());
    BioPtr keyBio(BIO_new(BIO_s_mem()));
    Check(PEM_write_bio_PrivateKey(keyBio.get(), key.get(), nullptr, nullptr, 0, nullptr,
                                   nullptr) == 1,
          "writing the key");
    pem.privateKey = Drain(keyBio.get());
    return pem;
}

std::string EncryptPrivateKey(const std::string& privateKeyPem, const std::string& passPhrase) {
    BioPtr in(BIO_new_mem_buf(privateKeyPem.data(), static_cast<int>(privateKeyPem.size())));
    KeyPtr key(PEM_read_bio_PrivateKey(in.get(), nullptr, nullptr, nullptr));
    Check(key != nullptr, "reading the key");
    BioPtr out(BIO_new(BIO_s_mem()));
    Check(PEM_write_bio_PKCS8PrivateKey(out.get(), key.get(), EVP_aes_256_cbc(),
                                        const_cast<char*>(passPhrase.data()),
                                        static_cast<int>(passPhrase.size()), nullptr, nullptr) == 1,
          "encrypting the key");
    return Drain(out.get());
}

void WriteClientCertificateFiles(const std::filesystem::path& directory,
                                 const std::string& commonName, const std::string& passPhrase) {
    const PemCertificate pem = MakeSelfSignedCertificate(commonName);
    WriteFile(directory / "01cert.pem", pem.certificate);
    WriteFile(directory / "01key.pem", EncryptPrivateKey(pem.privateKey, passPhrase));
}

void WriteFile(const std::filesystem::path& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    Check(static_cast<bool>(out), "writing a file");
}

}  // namespace korvalot::testing
