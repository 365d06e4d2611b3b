// Signed updates: with conf/update.pub in place an installer or module package is used only when
// its reply carries a good Ed25519 signature of the exact body. Keys and signatures are made with
// the openssl command line exactly as the README's operator guide says, so the guide is tested too.
#include "update/UpdateLog.h"
#include "update/UpdateSignature.h"
#include "update/UpdateSteps.h"

#include "../common/LoopbackHttpServer.h"
#include "../common/UpdateLogCapture.h"
#include "../common/ProgramFolderFixture.h"
#include "../common/ZipBuilder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

namespace fs = std::filesystem;
using namespace kx;
using kx::test::CannedReply;
using kx::test::LoopbackHttpServer;
using kx::test::RecordedRequest;
using kx::test::zipBytes;

namespace {

// Runs a shell command in folder; fails the test when it does not succeed.
void run(const kx::test::TempProgramFolder& folder, const std::string& command)
{
    const std::string line = "cd '" + folder.path() + "' && { " + command + "; } 2>/dev/null";
    ASSERT_EQ(std::system(line.c_str()), 0) << command;
}

// The operator's side: a key pair, and the Content-Signature value for a body.
class Signer {
public:
    Signer()
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
    // A module package's header: the signature of its manifest, made with the README's commands.
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
        fs::remove_all(prog.file("conf"));
        fs::remove_all(prog.file("download"));
        fs::remove_all(prog.file("upgrade"));
        LoopbackHttpServer server([&](const RecordedRequest& r) {
            const bool app = r.target == "/upgrade/app";
            CannedReply reply{200, {}, app ? installer : package};
            reply.headers.emplace_back(app ? "app_name" : "UpgradeInfo", app ? "setup.exe" : c.servedInfo);
            const std::string& signature = app ? c.installerSignature : c.packageSignature;
            if (!signature.empty())
                reply.headers.emplace_back("Content-Signature", signature);
            return reply;
        });
        configure("http://127.0.0.1:" + std::to_string(server.port()));
        switch (c.key) {
        case Key::None: break;
        case Key::Good: prog.write("conf/update.pub", signer.publicKey()); break;
        case Key::Garbage: prog.write("conf/update.pub", "-----BEGIN PUBLIC KEY-----\nnot a key\n-----END PUBLIC KEY-----\n"); break;
        case Key::NotEd25519:
            run(prog, "openssl genpkey -algorithm x25519 -out x.key && openssl pkey -in x.key -pubout -out conf/update.pub");
            break;
        case Key::Folder: fs::create_directories(prog.file("conf/update.pub")); break;
        }

        const std::string app = downloadAppInstaller(server.url("/upgrade/app"), prog.path(), "1.0");
        const std::string modules = fetchModulePackage(server.url("/upgrade/dll"), prog.path(), "{}");
        if (c.accepted) {
            EXPECT_EQ(app, prog.file("download/setup.exe"));
            EXPECT_EQ(prog.read("download/setup.exe"), installer);
            EXPECT_EQ(modules, "success");
            EXPECT_EQ(prog.read("comp/print/print.dll"), "new print");
            EXPECT_TRUE(takeLog().empty());
        } else {
            EXPECT_EQ(app, "");
            EXPECT_EQ(modules, "");
            // Nothing saved where the program would use it, nothing unpacked, no part left over.
            EXPECT_TRUE(!prog.exists("download") || fs::is_empty(prog.file("download")));
            EXPECT_FALSE(prog.exists("dll_upgrade.zip"));
            EXPECT_FALSE(prog.exists("upgrade"));
            EXPECT_EQ(prog.read("comp/print/print.dll"), "old print");
            const auto lines = takeLog();
            ASSERT_EQ(lines.size(), 2u) << ::testing::PrintToString(lines); // one per refused reply
            for (const std::string& line : lines)
                EXPECT_NE(line.find(c.logText), std::string::npos) << line;
        }
        fs::remove(prog.file("comp/print/print_old.dll"));
        prog.write("comp/print/print.dll", "old print");
    }
}
