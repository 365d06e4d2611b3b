// The Windows demo modules in C answer as the Pascal demos do: "pd" through the module invoker in
// the runtime form, and the signing library through the signing-library loader.
#include "bridge/CompactJson.h"
#include "bridge/ModuleInvoker.h"
#include "bridge/SigningLibrary.h"
#include "common/ModuleHandleList.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>

using namespace kx;
namespace fs = std::filesystem;

namespace {

std::string utf8(const fs::path& p)
{
    const std::u8string s = p.u8string();
    return std::string(s.begin(), s.end());
}

// A program folder laid out as the program's own: comp\pd\pd.dll and comp\common\ca\CA.dll.
class DemoModules : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        root = fs::temp_directory_path() / (fs::path(u8"kx 示例 ") += std::to_string(std::random_device{}()));
        fs::remove_all(root);
        fs::create_directories(root / "comp" / "pd");
        fs::create_directories(root / "comp" / "common" / "ca");
        fs::create_directories(root / "conf");
        const fs::path modules(KX_TEST_MODULES_DIR);
        fs::copy_file(modules / "demo_pd.dll", root / "comp" / "pd" / "pd.dll");
        fs::copy_file(modules / "demo_ca.dll", root / "comp" / "common" / "ca" / "CA.dll");
        std::ofstream(root / "conf" / "dll.ini", std::ios::binary) << "[MODULE-DLLPATH]\r\npd=comp\\pd\\pd.dll\r\n";
        folder = utf8(root);
        ModuleHandleList::instance().create();
    }
    static void TearDownTestSuite()
    {
        ModuleHandleList::instance().releaseAll();
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }

    static inline fs::path root;
    static inline std::string folder;
};

} // namespace

TEST_F(DemoModules, PdAnswersWithTheTextsItGot)
{
    Json config = Json::object();
    config["appId"] = "7";
    config["appFileDir"] = folder;
    EXPECT_EQ(invokeModule(folder, R"({"config":{"appId":7},"data":[{"k":"中文 ✓"}]})", "pd", "Describe"),
              R"({"ret_code":"0","ret_msg":"处理成功","data":{"k":"中文 ✓"},"config":)" + compactJson(config) + "}");
}

TEST_F(DemoModules, SigningLibraryLoadsFromItsPlaceAndSigns)
{
    const std::string path = signingLibraryPath(folder);
    EXPECT_TRUE(path.starts_with(folder) && path.ends_with("ca\\CA.dll")) << path;
    std::string error;
    ASSERT_TRUE(loadSigningLibrary(folder, error)) << error;
    // The value the Pascal demo gives for the same request.
    EXPECT_EQ(callDoSign(R"({"bill":"票据 0042","amount":"100.00"})", "{}"),
              R"({"ret_code":"0","ret_msg":"签名成功","signData":"14077B2E"})");
}

TEST(DemoSigningLibrary, AMissingLibraryIsNamedInTheReason)
{
    std::string error;
    EXPECT_FALSE(loadSigningLibrary("Z:\\nonexistent kx folder", error));
    EXPECT_NE(error.find("CA.dll"), std::string::npos) << error;
}
