#pragma once
// The operator's side of signed updates, made with libcrypto: an Ed25519 key pair, its public
// half in PEM (as "openssl pkey -pubout" writes it) and the Content-Signature value for bytes.
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <memory>
#include <stdexcept>
#include <string>

namespace kx::test {

using PKey = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;

inline PKey newKey(const char* algorithm)
{
    PKey key(EVP_PKEY_Q_keygen(nullptr, nullptr, algorithm), &EVP_PKEY_free);
    if (!key)
        throw std::runtime_error(std::string("no ") + algorithm + " key");
    return key;
}

// The public half of key in PEM, as "openssl pkey -pubout" writes it.
inline std::string publicPem(EVP_PKEY* key)
{
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), &BIO_free);
    if (!bio || PEM_write_bio_PUBKEY(bio.get(), key) != 1)
        throw std::runtime_error("no PEM of the public key");
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(size));
}

inline std::string base64(const std::string& bytes)
{
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                  reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
    out.resize(static_cast<std::size_t>(n));
    return out;
}

class Ed25519Signer {
public:
    std::string publicKey() const { return publicPem(key_.get()); }
    // "ed25519=<Base64 of the signature of body>"
    std::string header(const std::string& body) const
    {
        std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
        std::string signature(64, '\0');
        std::size_t size = signature.size();
        if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key_.get()) != 1 ||
            EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char*>(signature.data()), &size,
                           reinterpret_cast<const unsigned char*>(body.data()), body.size()) != 1)
            throw std::runtime_error("no signature");
        signature.resize(size);
        return "ed25519=" + base64(signature);
    }

private:
    PKey key_ = newKey("ED25519");
};

} // namespace kx::test
