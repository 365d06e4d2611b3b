#include "update/UpdateSignature.h"

#include "common/Paths.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace kx {
namespace {

constexpr std::size_t kSignatureSize = 64;
constexpr std::size_t kBase64Size = 88; // 64 bytes: 85⅓ characters, padded with "=="

bool base64Char(char c)
{
    return std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '/';
}

} // namespace

struct UpdateSignature::Key {
    EVP_PKEY* pkey = nullptr;
    ~Key() { EVP_PKEY_free(pkey); }
};

UpdateSignature::~UpdateSignature() = default;
UpdateSignature::UpdateSignature(UpdateSignature&&) noexcept = default;
UpdateSignature& UpdateSignature::operator=(UpdateSignature&&) noexcept = default;

UpdateSignature UpdateSignature::load(const std::string& programFolder)
{
    UpdateSignature s;
    const std::filesystem::path path = pathFromUtf8(programPath(programFolder, "conf/update.pub"));
    std::error_code ec;
    const auto status = std::filesystem::symlink_status(path, ec);
    if (!std::filesystem::exists(status))
        return s; // unsigned updates, as without the feature
    s.required_ = true;
    std::string pem;
    if (std::filesystem::is_regular_file(path, ec)) {
        std::ifstream in(path, std::ios::binary);
        pem.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    if (pem.empty()) {
        s.keyProblem_ = "conf/update.pub 无法读取";
        return s;
    }
    return fromPem(pem);
}

UpdateSignature UpdateSignature::fromPem(std::string_view pem)
{
    UpdateSignature s;
    s.required_ = true;
    BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    EVP_PKEY* pkey = bio ? PEM_read_bio_PUBKEY(bio, nullptr, nullptr, nullptr) : nullptr;
    BIO_free(bio);
    if (!pkey) {
        s.keyProblem_ = "conf/update.pub 不是 PEM 格式的公钥";
        return s;
    }
    if (EVP_PKEY_get_id(pkey) != EVP_PKEY_ED25519) {
        EVP_PKEY_free(pkey);
        s.keyProblem_ = "conf/update.pub 不是 Ed25519 公钥";
        return s;
    }
    s.key_ = std::make_unique<Key>();
    s.key_->pkey = pkey;
    return s;
}

std::string parseSignatureHeader(const std::string& headerValue)
{
    std::string v = headerValue;
    const auto b = v.find_first_not_of(" \t");
    const auto e = v.find_last_not_of(" \t");
    v = b == std::string::npos ? "" : v.substr(b, e - b + 1);
    const std::string scheme = "ed25519=";
    if (v.size() != scheme.size() + kBase64Size)
        return "";
    for (std::size_t i = 0; i < scheme.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(v[i])) != scheme[i])
            return "";
    const std::string text = v.substr(scheme.size());
    for (std::size_t i = 0; i < kBase64Size - 2; ++i)
        if (!base64Char(text[i]))
            return "";
    if (text[kBase64Size - 2] != '=' || text[kBase64Size - 1] != '=')
        return "";
    unsigned char out[kBase64Size]; // EVP_DecodeBlock writes 3 bytes per 4 characters
    const int n = EVP_DecodeBlock(out, reinterpret_cast<const unsigned char*>(text.data()),
                                  static_cast<int>(text.size()));
    // The block decoder counts the padding as zero bytes: 66 = 64 + 2.
    if (n != static_cast<int>(kSignatureSize + 2))
        return "";
    return std::string(reinterpret_cast<const char*>(out), kSignatureSize);
}

std::string UpdateSignature::check(const std::string& headerValue, std::string_view body) const
{
    if (!required_)
        return "";
    if (!key_)
        return keyProblem_;
    if (headerValue.empty())
        return "回复缺少 Content-Signature 签名";
    const std::string signature = parseSignatureHeader(headerValue);
    if (signature.empty())
        return "Content-Signature 签名格式不正确";
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    bool good = ctx && EVP_DigestVerifyInit(ctx, nullptr, nullptr, nullptr, key_->pkey) == 1 &&
                EVP_DigestVerify(ctx, reinterpret_cast<const unsigned char*>(signature.data()), signature.size(),
                                 reinterpret_cast<const unsigned char*>(body.data()), body.size()) == 1;
    EVP_MD_CTX_free(ctx);
    return good ? "" : "签名与内容不符";
}

std::string modulePackageManifest(const std::string& upgradeInfo, std::string_view package)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_Digest(package.data(), package.size(), digest, &size, EVP_sha256(), nullptr) != 1)
        return ""; // signs nothing: every signature is refused
    static const char* hex = "0123456789abcdef";
    std::string text = "kestrix-module-package\nUpgradeInfo: " + upgradeInfo + "\nSHA-256: ";
    for (unsigned int i = 0; i < size; ++i) {
        text += hex[digest[i] >> 4];
        text += hex[digest[i] & 15];
    }
    return text + "\n";
}

} // namespace kx
