#pragma once
// The update key an installer carries, and when it replaces the installed one (conf/update.pub).
//
// Every installer built with a key carries it. Installed over a program folder:
//   - without a key, or with a key file that cannot be used (no update could pass it): the
//     carried key is installed;
//   - with the same key: nothing changes;
//   - with another key: the carried key replaces it only when the installer also carries a
//     rotation signature, the Content-Signature form "ed25519=<Base64>" of the carried key file's
//     exact bytes made with the installed key's private half. Otherwise the installed key stays:
//     an installer built for another operator cannot take over a machine's updates.
// To rotate: sign the new public key file with the old private key, build the installer with
// both, and publish it signed with the old key; once it is installed, sign with the new key only.
#include <string>

namespace kx::companion {

enum class KeyDecision { Installed, Unchanged, Replaced, KeptInstalled, Failed };

// carriedPem: the carried key file's bytes; rotationSignature: "" when the installer carries none.
// message: a line for the installer's log.
KeyDecision acceptCarriedKey(const std::string& programFolder, const std::string& carriedPem,
                             const std::string& rotationSignature, std::string& message);

} // namespace kx::companion
