#include "companion/KeyRotation.h"

#include "base/Text.h"
#include "common/Paths.h"
#include "platform/Files.h"
#include "update/UpdateSignature.h"

#include <filesystem>
#include <fstream>
#include <iterator>

namespace kx::companion {

KeyDecision acceptCarriedKey(const std::string& programFolder, const std::string& carriedPem,
                             const std::string& rotationSignature, std::string& message)
{
    const UpdateSignature carried = UpdateSignature::fromPem(carriedPem);
    if (!carried.keyProblem().empty()) {
        message = "安装程序携带的更新公钥不可用：" + carried.keyProblem();
        return KeyDecision::Failed;
    }
    const std::string keyFile = programPath(programFolder, "conf\\update.pub");
    const UpdateSignature installed = UpdateSignature::load(programFolder);
    const auto install = [&](KeyDecision decision, std::string done) {
        std::error_code ec;
        std::filesystem::create_directories(pathFromUtf8(keyFile).parent_path(), ec);
        if (!platform::replaceFileAtomically(keyFile, carriedPem)) {
            message = "无法写入 " + keyFile;
            return KeyDecision::Failed;
        }
        message = std::move(done);
        return decision;
    };
    if (!installed.required())
        return install(KeyDecision::Installed, "已安装更新公钥");
    if (!installed.keyProblem().empty())
        return install(KeyDecision::Replaced, "已安装的更新公钥不可用（" + installed.keyProblem() + "），已换为新公钥");

    std::ifstream in(pathFromUtf8(keyFile), std::ios::binary);
    const std::string current{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (base::trimmed(current, " \t\r\n") == base::trimmed(carriedPem, " \t\r\n")) {
        message = "更新公钥未变";
        return KeyDecision::Unchanged;
    }
    if (rotationSignature.empty()) {
        message = "安装程序携带另一把更新公钥，但没有旧公钥的签名：保留已安装的公钥";
        return KeyDecision::KeptInstalled;
    }
    const std::string why = installed.check(std::string(base::trimmed(rotationSignature, " \t\r\n")), carriedPem);
    if (!why.empty()) {
        message = "新更新公钥的签名无效（" + why + "）：保留已安装的公钥";
        return KeyDecision::KeptInstalled;
    }
    return install(KeyDecision::Replaced, "更新公钥已由旧公钥签名换新");
}

} // namespace kx::companion
