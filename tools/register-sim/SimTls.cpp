#include "tools/register-sim/SimTls.h"

#include <fstream>
#include <memory>
#include <stdexcept>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace korvalot::tools {
namespace {

struct Free {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
    void operator()(X509* p) const { X509_free(p); }
    void operator()(BIO* p) const { BIO_free(p); }
    void operator()(X509_EXTENSION* p) const { X509_EXTENSION_free(p); }
};

[[noreturn]] void Fail(std::string_view what) {
    char reason[256] = "unknown reason";
    if (const unsigned long code = ERR_get_error(); code != 0) {
        ERR_error_string_n(code, reason, sizeof reason);
    }
    ERR_clear_error();
    throw std::runtime_error(std::string(what) + ": " + reason);
}

std::string BioText(BIO* bio) {
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    return std::string(data, static_cast<std::size_t>(size));
}

}  // namespace

SimPemPair MakeSelfSignedPair(std::string_view commonName, SimKeyKind kind,
                              std::string_view passphrase) {
    std::unique_ptr<EVP_PKEY, Free> key(kind == SimKeyKind::Ec ? EVP_EC_gen("P-256")
                                                               : EVP_RSA_gen(2048));
    if (!key) {
        Fail("key generation failed");
    }
    std::unique_ptr<X509, Free> cert(X509_new());
    if (!cert || X509_set_version(cert.get(), 2) != 1) {
        Fail("certificate creation failed");
    }
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -24L * 3600);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 10L * 365 * 24 * 3600);
    X509_set_pubkey(cert.get(), key.get());
    X509_NAME* name = X509_get_subject_name(cert.get());
    const std::string cn(commonName);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(cn.c_str()), -1, -1, 0);
    X509_set_issuer_name(cert.get(), name);
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, cert.get(), cert.get(), nullptr, nullptr, 0);
    std::unique_ptr<X509_EXTENSION, Free> san(
        X509V3_EXT_conf_nid(nullptr, &ctx, NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost"));
    if (!san || X509_add_ext(cert.get(), san.get(), -1) != 1) {
        Fail("certificate extension failed");
    }
    if (X509_sign(cert.get(), key.get(), EVP_sha256()) == 0) {
        Fail("certificate signing failed");
    }

    SimPemPair pair;
    std::unique_ptr<BIO, Free> certBio(BIO_new(BIO_s_mem()));
    if (!certBio || PEM_write_bio_X509(certBio.get(), cert.get()) != 1) {
        Fail("writing the certificate failed");
    }
    pair.certificate = BioText(certBio.get());
    std::unique_ptr<BIO, Free> keyBio(BIO_new(BIO_s_mem()));
    std::string secret(passphrase);
    const int written =
        passphrase.empty()
            ? PEM_write_bio_PrivateKey(keyBio.get(), key.get(), nullptr, nullptr, 0, nullptr,
                                       nullptr)
            : PEM_write_bio_PrivateKey(keyBio.get(), key.get(), EVP_aes_256_cbc(),
                                       reinterpret_cast<unsigned char*>(secret.data()),
                                       static_cast<int>(secret.size()), nullptr, nullptr);
    if (!keyBio || written != 1) {
        Fail("writing the private key failed");
    }
    pair.privateKey = BioText(keyBio.get());
    return pair;
}

void WriteClientCertificate(const std::filesystem::path& directory) {
    // RSA, which every client's TLS library accepts for a client certificate
    const SimPemPair pair =
        MakeSelfSignedPair("korvalot client", SimKeyKind::Rsa, kClientKeyPassphrase);
    std::filesystem::create_directories(directory);
    for (const auto& [file, text] :
         {std::pair{"01cert.pem", &pair.certificate}, std::pair{"01key.pem", &pair.privateKey}}) {
        std::ofstream out(directory / file, std::ios::binary | std::ios::trunc);
        out << *text;
        out.close();
        if (!out) {
            throw std::runtime_error("cannot write " + (directory / file).string());
        }
    }
}

}  // namespace korvalot::tools
