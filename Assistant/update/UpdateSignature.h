#pragma once
// Signed updates, opt-in. When conf/update.pub exists (an Ed25519 public key in PEM, as
// "openssl pkey -pubout" writes it), an installer or module package is accepted only when its
// reply carries "Content-Signature: ed25519=<Base64 of a 64-byte signature>". For an installer the
// signature is over the exact body bytes. For a module package it is over the package manifest
// (modulePackageManifest): the UpgradeInfo header that names the modules and their versions, and
// the SHA-256 of the body, so neither can be swapped for another package's. A key file that exists
// but cannot be read or is not an Ed25519 public key refuses every update. Without the file
// nothing is checked.
#include <memory>
#include <string>
#include <string_view>

namespace kx {

class UpdateSignature {
public:
    // Reads programFolder/conf/update.pub.
    static UpdateSignature load(const std::string& programFolder);
    // The key given as text (the contents such a file would have); always required.
    static UpdateSignature fromPem(std::string_view pem);

    ~UpdateSignature();
    UpdateSignature(UpdateSignature&&) noexcept;
    UpdateSignature& operator=(UpdateSignature&&) noexcept;

    // A key file exists: every update must be signed.
    bool required() const { return required_; }
    // Why no update can be accepted at all (the key file is there but unusable); "" otherwise.
    const std::string& keyProblem() const { return keyProblem_; }

    // "" when body may be used: no key file, or headerValue (the reply's Content-Signature) is a
    // good signature of body under the key. Otherwise why not.
    std::string check(const std::string& headerValue, std::string_view body) const;

private:
    UpdateSignature() = default;
    struct Key;
    std::unique_ptr<Key> key_;
    bool required_ = false;
    std::string keyProblem_;
};

// What a module package's signature covers, as text with LF line ends:
//   kestrix-module-package
//   UpgradeInfo: <the header's value, without blanks around it>
//   SHA-256: <64 lower-case hex digits of the package bytes>
std::string modulePackageManifest(const std::string& upgradeInfo, std::string_view package);

// The 64 signature bytes of a "ed25519=<Base64>" header value (scheme name without case, blanks
// around the value allowed), or "" when the value has another form.
std::string parseSignatureHeader(const std::string& headerValue);

} // namespace kx
