// Signed updates: with conf/update.pub in place an installer or module package is used only when
// its reply carries a good Ed25519 signature of the exact body. The table's keys and signatures
// are made with libcrypto in the test, so it runs wherever the program does; where a POSIX shell
// is at hand, the openssl commands of the README's operator guide make a key and signatures too,
// and the program must accept them, so the guide is tested as well.
#include "update/UpdateLog.h"
#include "update/UpdateSignature.h"
#include "update/UpdateSteps.h"

#include "../common/LoopbackHttpServer.h"
#include "../common/UpdateLogCapture.h"
#include "../common/ProgramFolderFixture.h"
#include "../common/Ed25519Signer.h"
#include "../common/ZipBuilder.h"

#include <gtest/gtest.h>

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <stdexcept>

namespace fs = std::filesystem;
using namespace kx;
using kx::test::CannedReply;
using kx::test::LoopbackHttpServer;
using kx::test::RecordedRequest;
using kx::test::zipBytes;

namespace {

using kx::test::base64;
using kx::test::newKey;
using kx::test::publicPem;

std::string sha256Hex(const std::string& bytes)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), digest, &size, EVP_sha256(), nullptr) != 1)
        throw std::runtime_error("no SHA-256");
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (unsigned int i = 0; i < size; ++i) {
        out += hex[digest[i] >> 4];
        out += hex[digest[i] & 15];
    }
    return out;
}

// The operator's side, with module packages' headers as well.
class Signer : public kx::test::Ed25519Signer {
public:
    // A module package's header: the signature of its manifest, in the README's form (three lines
    // with LF ends; the last is the package's SHA-256 in lower-case hex).
    std::string packageHeader(const std::string& upgradeInfo, const std::string& package) const
    {
        return header("kestrix-module-package\nUpgradeInfo: " + upgradeInfo + "\nSHA-256: " + sha256Hex(package) +
                      "\n");
    }

};

// True where std::system runs a POSIX shell (not cmd.exe).
bool posixShellAvailable()
{
    return std::system("sh -c \"exit 0\"") == 0;
}

// Runs a shell command in folder; fails the test when it does not succeed.
void run(const kx::test::TempProgramFolder& folder, const std::string& command)
{
    const std::string line = "cd '" + folder.path() + "' && { " + command + "; } 2>/dev/null";
    ASSERT_EQ(std::system(line.c_str()), 0) << command;
}

// The same with the openssl command line, exactly as the README's operator guide says.
class CommandLineSigner {
public:
    CommandLineSigner()
    {
        run(keys, "openssl genpkey -algorithm ed25519 -out update.key");
        run(keys, "openssl pkey -in update.key -pubout -out update.pub");
    }
    std::string publicKey() const { return keys.read("update.pub"); }
    std::string header(const std::string& body) const
    {
        keys.write("body.bin", body);
        run(keys, "openssl pkeyutl -sign -inkey update.key -rawin -in body.bin -out body.sig");
        run(keys, "base64 -w0 body.sig > body.sig.b64");
        return "ed25519=" + keys.read("body.sig.b64");
    }
    std::string packageHeader(const std::string& upgradeInfo, const std::string& package) const
    {
        keys.write("dll_upgrade.zip", package);
        keys.write("info.txt", upgradeInfo);
        run(keys, "INFO=$(cat info.txt) && "
                  "{ printf 'kestrix-module-package\\nUpgradeInfo: %s\\nSHA-256: ' \"$INFO\"; "
                  "sha256sum dll_upgrade.zip | cut -d' ' -f1; } > package.manifest");
        run(keys, "openssl pkeyutl -sign -inkey update.key -rawin -in package.manifest -out package.sig");
        run(keys, "base64 -w0 package.sig > package.sig.b64");
        return "ed25519=" + keys.read("package.sig.b64");
    }
    kx::test::TempProgramFolder keys;
};

class SignedUpdateTest : public ::testing::Test {
protected:
    void SetUp() override { setUpdatePause(std::chrono::milliseconds(0)); }

    void configure(const std::string& base)
    {
        prog.write("conf/sys.ini", "[HTTP]\r\nserver.update.url=" + base + "/upgrade/app\r\n[APP]\r\n"
                                   "application.current.version=1.0\r\n[DLL]\r\nprint=v1.0\r\n");
        prog.write("conf/dll.ini", "[MODULE-DLLPATH]\r\nprint=comp\\print\\print.dll\r\n");
        prog.write("comp/print/print.dll", "old print");
    }
    std::vector<std::string> takeLog() { return updateLog.take(); }

    // What the two update requests gave.
    struct Fetched {
        std::string app;
        std::string modules;
    };
    // A fresh program folder (placeKey then puts conf/update.pub in place, or not), a server that
    // sends installer and package with these headers ("" = no Content-Signature), and both requests.
    Fetched fetch(const std::string& installer, const std::string& package, const std::string& servedInfo,
                  const std::string& installerSignature, const std::string& packageSignature,
                  const std::function<void()>& placeKey)
    {
        fs::remove_all(prog.file("conf"));
        fs::remove_all(prog.file("download"));
        fs::remove_all(prog.file("upgrade"));
        fs::remove(prog.file("comp/print/print_old.dll"));
        LoopbackHttpServer server([&](const RecordedRequest& r) {
            const bool app = r.target == "/upgrade/app";
            CannedReply reply{200, {}, app ? installer : package};
            reply.headers.emplace_back(app ? "app_name" : "UpgradeInfo", app ? "setup.exe" : servedInfo);
            const std::string& signature = app ? installerSignature : packageSignature;
            if (!signature.empty())
                reply.headers.emplace_back("Content-Signature", signature);
            return reply;
        });
        configure("http://127.0.0.1:" + std::to_string(server.port()));
        placeKey();
        return {downloadAppInstaller(server.url("/upgrade/app"), prog.path(), "1.0"),
                fetchModulePackage(server.url("/upgrade/dll"), prog.path(), "{}")};
    }
    void expectAccepted(const Fetched& fetched, const std::string& installer)
    {
        EXPECT_EQ(fetched.app, prog.file("download/setup.exe"));
        EXPECT_EQ(prog.read("download/setup.exe"), installer);
        EXPECT_EQ(fetched.modules, "success");
        EXPECT_EQ(prog.read("comp/print/print.dll"), "new print");
        EXPECT_TRUE(takeLog().empty());
    }
    void expectRefused(const Fetched& fetched, const std::string& logText)
    {
        EXPECT_EQ(fetched.app, "");
        EXPECT_EQ(fetched.modules, "");
        // Nothing saved where the program would use it, nothing unpacked, no part left over.
        EXPECT_TRUE(!prog.exists("download") || fs::is_empty(prog.file("download")));
        EXPECT_FALSE(prog.exists("dll_upgrade.zip"));
        EXPECT_FALSE(prog.exists("upgrade"));
        EXPECT_EQ(prog.read("comp/print/print.dll"), "old print");
        const auto lines = takeLog();
        ASSERT_EQ(lines.size(), 2u) << ::testing::PrintToString(lines); // one per refused reply
        for (const std::string& line : lines)
            EXPECT_NE(line.find(logText), std::string::npos) << line;
    }

    kx::test::TempProgramFolder prog;
    kx::test::UpdateLogCapture updateLog;
};

} // namespace

TEST(SignatureHeader, OnlyTheExactFormGivesSignatureBytes)
{
    const std::string good = "ed25519=" + std::string(86, 'A') + "==";
    EXPECT_EQ(parseSignatureHeader(good), std::string(64, '\0'));
    EXPECT_EQ(parseSignatureHeader("  ED25519=" + std::string(86, '/') + "==  ").size(), 64u);
    for (const std::string& bad : {std::string(), std::string("ed25519="), "ed25519=" + std::string(86, 'A') + "=",
                                   "ed25519=" + std::string(88, 'A'), "ed25519=" + std::string(85, 'A') + "!==",
                                   "rsa=" + std::string(86, 'A') + "==", "ed25519 " + std::string(86, 'A') + "==",
                                   "ed25519=" + std::string(90, 'A') + "=="})
        EXPECT_EQ(parseSignatureHeader(bad), "") << bad;
}

TEST_F(SignedUpdateTest, InstallersAndPackagesAreUsedOnlyWithAGoodSignature)
{
    const Signer signer;
    const std::string installer("MZ\x90\x00signed installer\xff", 21);
    const std::string package = zipBytes({{"print.zip", zipBytes({{"print.dll", "new print"}})}});
    const std::string info = "{\"print\":\"1.1\"}";

    enum class Key { None, Good, Garbage, NotEd25519, Folder };
    const struct {
        const char* what;
        Key key;
        std::string installerSignature; // "" = no header
        std::string packageSignature;
        bool accepted;
        const char* logText; // what the refusal says
        std::string servedInfo = "{\"print\":\"1.1\"}"; // the UpgradeInfo the server sends
    } cases[] = {
        {"good signature", Key::Good, signer.header(installer), signer.packageHeader(info, package), true, ""},
        {"signature of other bytes", Key::Good, signer.header(installer + "x"), signer.packageHeader(info, package + "x"),
         false, "签名与内容不符"},
        // The module list is signed with the package: another list with the same package is refused,
        // and so is a signature of the package bytes alone.
        {"module list swapped", Key::Good, signer.header(installer + "x"), signer.packageHeader(info, package), false,
         "签名与内容不符", "{\"print\":\"999.0\"}"},
        {"package signed without its module list", Key::Good, signer.header(installer + "x"), signer.header(package),
         false, "签名与内容不符"},
        {"malformed header", Key::Good, "ed25519=bm90IGEgc2lnbmF0dXJl", "sha256=" + signer.packageHeader(info, package).substr(8),
         false, "格式不正确"},
        {"missing header", Key::Good, "", "", false, "缺少"},
        {"key file holds no key", Key::Garbage, signer.header(installer), signer.packageHeader(info, package), false, "update.pub"},
        {"key file holds another kind of key", Key::NotEd25519, signer.header(installer), signer.packageHeader(info, package),
         false, "Ed25519"},
        {"key file cannot be read", Key::Folder, signer.header(installer), signer.packageHeader(info, package), false,
         "update.pub"},
        {"no key file: unsigned updates as before", Key::None, "", "", true, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const Fetched fetched = fetch(installer, package, c.servedInfo, c.installerSignature, c.packageSignature, [&] {
            switch (c.key) {
            case Key::None: break;
            case Key::Good: prog.write("conf/update.pub", signer.publicKey()); break;
            case Key::Garbage:
                prog.write("conf/update.pub", "-----BEGIN PUBLIC KEY-----\nnot a key\n-----END PUBLIC KEY-----\n");
                break;
            case Key::NotEd25519: prog.write("conf/update.pub", publicPem(newKey("X25519").get())); break;
            case Key::Folder: fs::create_directories(prog.file("conf/update.pub")); break;
            }
        });
        if (c.accepted)
            expectAccepted(fetched, installer);
        else
            expectRefused(fetched, c.logText);
    }
}

TEST_F(SignedUpdateTest, SignaturesMadeWithTheOperatorGuideCommandsAreAccepted)
{
    if (!posixShellAvailable())
        GTEST_SKIP() << "the operator guide's commands need a POSIX shell with openssl, sha256sum and base64";
    const CommandLineSigner signer;
    const std::string installer("MZ\x90\x00signed installer\xff", 21);
    const std::string package = zipBytes({{"print.zip", zipBytes({{"print.dll", "new print"}})}});
    const std::string info = "{\"print\":\"1.1\"}";
    const auto placeKey = [&] { prog.write("conf/update.pub", signer.publicKey()); };
    {
        SCOPED_TRACE("as signed");
        expectAccepted(fetch(installer, package, info, signer.header(installer), signer.packageHeader(info, package), placeKey),
                       installer);
    }
    {
        SCOPED_TRACE("another module list with the package");
        expectRefused(fetch(installer, package, "{\"print\":\"999.0\"}", signer.header(installer + "x"),
                            signer.packageHeader(info, package), placeKey),
                      "签名与内容不符");
    }
}
