// The start-with-Windows flag in the registry: a REG_DWORD "AutoRun" below the store's key. The
// tests point the store at a key of their own below HKEY_CURRENT_USER.
#include "common/AutoRun.h"

#include "common/Errors.h"
#include "platform/AutoRunStore.h"

#include <gtest/gtest.h>

#include <windows.h>

using namespace kx;

namespace {

class AutoRunStoreTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        subKey_ = L"Software\\KestrixAssistantTest\\" + std::to_wstring(GetCurrentProcessId()) + L" 测试";
        RegDeleteTreeW(HKEY_CURRENT_USER, subKey_.c_str());
        platform::setAutoRunStorePath("HKEY_CURRENT_USER\\Software\\KestrixAssistantTest\\" +
                                      std::to_string(GetCurrentProcessId()) + " 测试");
    }
    void TearDown() override
    {
        platform::setAutoRunStorePath("");
        RegDeleteTreeW(HKEY_CURRENT_USER, subKey_.c_str());
        RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\KestrixAssistantTest");
    }
    void setRaw(DWORD type, const void* data, DWORD size)
    {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, subKey_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                  nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(RegSetValueExW(key, L"AutoRun", 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
        RegCloseKey(key);
    }
    static std::string readError()
    {
        try {
            return "value " + std::to_string(readAutoRun());
        } catch (const KxError& e) {
            return e.what();
        }
    }

    std::wstring subKey_;
};

} // namespace

// The machine's own flag: written and read back where other programs look for it, then put back
// as it was (a machine that had none has none again).
TEST_F(AutoRunStoreTest, TheDefaultStoreIsTheKeyBelowClassesRoot)
{
    platform::setAutoRunStorePath("");
    EXPECT_EQ(platform::autoRunStorePath(), "HKEY_CLASSES_ROOT\\KestrixAssistant");
    HKEY probe = nullptr;
    const bool keyExisted = RegOpenKeyExW(HKEY_CLASSES_ROOT, L"KestrixAssistant", 0, KEY_READ, &probe) == ERROR_SUCCESS;
    if (probe)
        RegCloseKey(probe);
    DWORD before = 0, size = sizeof before;
    const bool valueExisted = RegGetValueW(HKEY_CLASSES_ROOT, L"KestrixAssistant", L"AutoRun", RRF_RT_REG_DWORD,
                                           nullptr, &before, &size) == ERROR_SUCCESS;

    ASSERT_TRUE(writeAutoRun(before == 1 ? 0 : 1));
    DWORD seen = 7;
    size = sizeof seen;
    EXPECT_EQ(RegGetValueW(HKEY_CLASSES_ROOT, L"KestrixAssistant", L"AutoRun", RRF_RT_REG_DWORD, nullptr, &seen, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(seen, before == 1 ? 0u : 1u);
    EXPECT_EQ(readAutoRun(), before == 1 ? 0 : 1);

    if (valueExisted)
        EXPECT_TRUE(writeAutoRun(static_cast<int>(before)));
    else if (keyExisted)
        RegDeleteKeyValueW(HKEY_CLASSES_ROOT, L"KestrixAssistant", L"AutoRun");
    else
        RegDeleteKeyW(HKEY_CLASSES_ROOT, L"KestrixAssistant");
}

TEST_F(AutoRunStoreTest, WrittenFlagIsARegistryDwordThatReadsBack)
{
    ASSERT_TRUE(writeAutoRun(1));
    EXPECT_EQ(readAutoRun(), 1);
    ASSERT_TRUE(writeAutoRun(0));
    EXPECT_EQ(readAutoRun(), 0);

    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, subKey_.c_str(), 0, KEY_QUERY_VALUE, &key), ERROR_SUCCESS);
    DWORD type = 0, value = 7, size = sizeof value;
    EXPECT_EQ(RegQueryValueExW(key, L"AutoRun", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size), ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(value, 0u);
}

TEST_F(AutoRunStoreTest, ReadErrorsNameTheValue)
{
    EXPECT_EQ(readError(), "Failed to get data for 'AutoRun'"); // neither key nor value
    const wchar_t text[] = L"1";
    setRaw(REG_SZ, text, sizeof text);
    EXPECT_EQ(readError(), "Invalid data type for 'AutoRun'");
    const BYTE bytes[] = {1, 0, 0, 0};
    setRaw(REG_BINARY, bytes, sizeof bytes);
    EXPECT_EQ(readError(), "Invalid data type for 'AutoRun'");
    const unsigned long long wide = 1;
    setRaw(REG_QWORD, &wide, sizeof wide);
    EXPECT_EQ(readError(), "Invalid data type for 'AutoRun'");
    const DWORD one = 1;
    setRaw(REG_DWORD, &one, sizeof one);
    EXPECT_EQ(readError(), "value 1");
}

TEST_F(AutoRunStoreTest, StringValuesAreReportedWithTheirText)
{
    const wchar_t text[] = L"开机 start";
    setRaw(REG_SZ, text, sizeof text);
    const auto value = platform::readStoredValue("autorun"); // names without regard to case
    ASSERT_TRUE(value);
    EXPECT_EQ(value->type, platform::StoredType::String);
    EXPECT_EQ(value->text, "开机 start");
}

TEST_F(AutoRunStoreTest, AKeyThatCannotBeOpenedFailsWithoutRaising)
{
    platform::setAutoRunStorePath("HKEY_NO_SUCH_ROOT\\KestrixAssistant");
    EXPECT_FALSE(writeAutoRun(1));
    EXPECT_EQ(readError(), "Failed to get data for 'AutoRun'");
    // A key that cannot be created: a lasting key below a volatile one.
    HKEY volatileKey = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, subKey_.c_str(), 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS,
                              nullptr, &volatileKey, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(volatileKey);
    platform::setAutoRunStorePath("HKCU\\Software\\KestrixAssistantTest\\" + std::to_string(GetCurrentProcessId()) +
                                  " 测试\\KestrixAssistant");
    EXPECT_FALSE(writeAutoRun(1));
    EXPECT_EQ(readError(), "Failed to get data for 'AutoRun'");
}
