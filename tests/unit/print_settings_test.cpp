// Print settings files (application.json, bill.json, print.json), About lines and the update
// interval conversion, on a temporary program folder.
#include "common/AboutInfo.h"
#include "common/Errors.h"
#include "common/PrintSettings.h"
#include "common/SystemSettings.h"

#include "../common/TempPath.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

using namespace kx;
namespace fs = std::filesystem;

namespace {

class ProgramFolder : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = kx::test::makeTempFolder("kx-print-");
        fs::create_directories(dir + "/data/json");
        fs::create_directories(dir + "/conf");
    }
    void TearDown() override { fs::remove_all(dir); }

    void write(const std::string& rel, const std::string& text)
    {
        std::ofstream(dir + "/" + rel, std::ios::binary) << text;
    }
    std::string read(const std::string& rel)
    {
        std::ifstream in(dir + "/" + rel, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }

    std::string dir;
};

PrintSection sample()
{
    PrintSection s;
    s.printer = "  Office 1 ";
    s.paper = "A4";
    s.direction = "横向";
    s.marginUp = " 1.5 ";
    s.marginDown = "abc";
    s.marginLeft = "0";
    s.marginRight = "0";
    s.offsetX = "0.2";
    s.offsetY = "\t-0.1";
    return s;
}

constexpr const char* kSampleJson =
    R"({"OffsetX":"0.2","OffsetY":"-0.1","MarginUp":"1.5","MarginDown":"abc","MarginLeft":"0",)"
    R"("MarginRight":"0","Printer":"Office 1","Paper":"A4","Direction":"横向"})";

} // namespace

TEST_F(ProgramFolder, AppIdComesFromApplicationJson)
{
    EXPECT_EQ(readAppId(dir), "");
    EXPECT_TRUE(fs::exists(dir + "/data/json/application.json")); // created empty
    write("data/json/application.json", R"({"Other":1,"AppId":"A1"})");
    EXPECT_EQ(readAppId(dir), "A1");
    write("data/json/application.json", R"({"AppId":42})");
    EXPECT_EQ(readAppId(dir), "42");
    write("data/json/application.json", R"({"AppId":)");
    EXPECT_THROW(readAppId(dir), std::exception);
}

TEST(ReadJsonString, GivesTextForEveryKindOfMember)
{
    const Json o = Json::parse(R"({"s":"文本","n":1.5,"b":true,"z":null,"a":[1]})");
    const struct {
        const Json* object;
        const char* name;
        const char* expected;
    } cases[] = {
        {nullptr, "s", ""}, {&o, "missing", ""}, {&o, "s", "文本"}, {&o, "n", "1.5"},
        {&o, "b", "true"},  {&o, "z", ""},       {&o, "a", "[1]"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(readJsonString(c.object, c.name), c.expected) << c.name;
}

TEST_F(ProgramFolder, BillCodesStartWithTheDefaultCodeAndKeepFileOrder)
{
    using Codes = std::vector<std::pair<std::string, std::string>>;
    const struct {
        const char* bill;
        const char* appId;
        Codes expected;
    } cases[] = {
        {"", "A", {{"00000000", "00000000"}}},
        {R"({"B":{"1":"x"}})", "A", {{"00000000", "00000000"}}},
        {R"({"A":"not an object"})", "A", {{"00000000", "00000000"}}},
        {R"({"A":{"20":"出库单","00000000":"ignored","10":"","05":"入库单"},"B":{"9":"y"}})", "A",
         {{"00000000", "00000000"}, {"20", "出库单"}, {"10", "10"}, {"05", "入库单"}}},
        {R"({"":{"7":"z"}})", "", {{"00000000", "00000000"}, {"7", "z"}}},
    };
    for (const auto& c : cases) {
        write("data/json/bill.json", c.bill);
        Codes got;
        for (const BillCode& b : loadBillCodes(dir, c.appId))
            got.emplace_back(b.code, b.moduleName);
        EXPECT_EQ(got, c.expected) << c.bill;
    }
    write("data/json/bill.json", "{oops");
    EXPECT_THROW(loadBillCodes(dir, "A"), std::exception);
}

TEST_F(ProgramFolder, DefaultCodeIsSavedAtTopLevelCompactAndTrimmed)
{
    // Written with a byte order mark and indentation: the save drops both.
    write("data/json/print.json", "\xEF\xBB\xBF{\n  \"keep\": [1, {\"x\": \"é\"}]\n}");
    savePrintSection(dir, "A", "00000000", sample());
    EXPECT_EQ(read("data/json/print.json"),
              std::string(R"({"keep":[1,{"x":"é"}],"00000000_PRINTER":)") + kSampleJson + "}");

    // A blank code box means the default code too.
    PrintSection s = sample();
    s.paper = "";
    savePrintSection(dir, "A", "  ", s);
    EXPECT_EQ(loadPrintSection(dir, "A", "00000000").paper, "");
    EXPECT_EQ(loadPrintSection(dir, "A", "").printer, "Office 1");
}

TEST_F(ProgramFolder, OtherCodesGoUnderTheAppIdAndKeepEverythingElse)
{
    write("data/json/print.json",
          R"({"00000000_PRINTER":{"Printer":"P0"},"A":{"1_PRINTER":{"Direction":"纵向","Extra":"e","Printer":"old"}},"Z":3})");
    savePrintSection(dir, "A", "1", sample());
    savePrintSection(dir, "A", "12345678", sample());
    savePrintSection(dir, "B", " 7", sample()); // the code is taken as typed

    const Json saved = Json::parse(read("data/json/print.json"));
    EXPECT_EQ(saved["00000000_PRINTER"].dump(), R"({"Printer":"P0"})");
    EXPECT_EQ(saved["Z"], 3);
    // Existing members keep their place, new ones follow in the fixed order.
    EXPECT_EQ(saved["A"]["1_PRINTER"].dump(-1, ' ', false),
              R"({"Direction":"横向","Extra":"e","Printer":"Office 1","OffsetX":"0.2","OffsetY":"-0.1",)"
              R"("MarginUp":"1.5","MarginDown":"abc","MarginLeft":"0","MarginRight":"0","Paper":"A4"})");
    EXPECT_EQ(saved["A"]["12345678_PRINTER"].dump(-1, ' ', false), kSampleJson);
    EXPECT_TRUE(saved["B"].contains(" 7_PRINTER"));

    const PrintSection back = loadPrintSection(dir, "A", "12345678");
    EXPECT_EQ(back.printer, "Office 1");
    EXPECT_EQ(back.marginUp, "1.5");
    EXPECT_EQ(back.direction, "横向");
    EXPECT_EQ(loadPrintSection(dir, "A", "99").printer, ""); // no section: empty texts
}

TEST_F(ProgramFolder, SaveFailuresLeaveTheFileAsItWas)
{
    const std::string before = R"({"A":"text, not an object"})";
    write("data/json/print.json", before);
    EXPECT_THROW(savePrintSection(dir, "A", "1", sample()), KxError);
    EXPECT_EQ(read("data/json/print.json"), before);

    write("data/json/print.json", "[1]");
    EXPECT_THROW(savePrintSection(dir, "A", "00000000", sample()), std::exception);
    EXPECT_EQ(read("data/json/print.json"), "[1]");

    fs::remove_all(dir + "/data");
    EXPECT_THROW(savePrintSection(dir, "A", "00000000", sample()), std::exception);
    EXPECT_THROW(loadPrintSection(dir, "A", "00000000"), std::exception);
}

TEST_F(ProgramFolder, AboutShowsVersionAndOneLinePerInstalledModule)
{
    EXPECT_EQ(aboutVersionCaption(dir), "Kestrix客户端助手");
    EXPECT_TRUE(aboutModuleLines(dir).empty());

    write("conf/sys.ini", "[APP]\napplication.current.version=v2.0.1\n"
                          "[DLL]\nprint=1.0\nempty=\nca=3.1.0\nnopath=0.9\nUpload=2.2\n");
    write("conf/dll.ini", "[MODULE-DLLPATH]\nprint=comp\\print\\print.dll\nca=comp\\common\\ca\\CA.dll\n"
                          "upload=upload.dll\n");
    EXPECT_EQ(aboutVersionCaption(dir), "Kestrix客户端助手-v2.0.1");
    const std::string blanks(10, ' ');
    EXPECT_EQ(aboutModuleLines(dir), (std::vector<std::string>{"print.dll" + blanks + "1.0",
                                                               "CA.dll" + blanks + "3.1.0",
                                                               blanks + "0.9",
                                                               "upload.dll" + blanks + "2.2"}));
}

TEST_F(ProgramFolder, UpdateIntervalFallsBackToStoredValueThenEight)
{
    EXPECT_EQ(updateIntervalHours("", dir), 8);
    EXPECT_EQ(updateIntervalHours("12", dir), 12);
    write("conf/sys.ini", "[APP]\napplication.upgrade.timer.interval=\n");
    EXPECT_EQ(updateIntervalHours("", dir), 8);
    write("conf/sys.ini", "[APP]\napplication.upgrade.timer.interval=5\n");
    EXPECT_EQ(updateIntervalHours("", dir), 5);
    EXPECT_EQ(updateIntervalHours(" 7", dir), 7);
    EXPECT_EQ(updateIntervalHours("596", dir), 596);
    EXPECT_EQ(updateIntervalHours("0", dir), 0);
    for (const char* bad : {"abc", "1.5", "12 ", "+-3", "-1", "597"})
        EXPECT_THROW(updateIntervalHours(bad, dir), KxError) << bad;
    write("conf/sys.ini", "[APP]\napplication.upgrade.timer.interval=x\n");
    EXPECT_THROW(updateIntervalHours("", dir), KxError);
}

TEST(ShownPrintSection, BlankMembersShowTheirDefaultsOthersAsStored)
{
    PrintSection blank;
    blank.printer = " ";
    blank.marginLeft = "\t";
    const PrintSection shownBlank = shownPrintSection(blank);
    EXPECT_EQ(shownBlank.printer, "");
    EXPECT_EQ(shownBlank.paper, kCustomPaperText);
    EXPECT_EQ(shownBlank.direction, "纵向");
    for (const std::string* m : {&shownBlank.marginUp, &shownBlank.marginDown, &shownBlank.marginLeft,
                                 &shownBlank.marginRight, &shownBlank.offsetX, &shownBlank.offsetY})
        EXPECT_EQ(*m, "0");

    const PrintSection stored{"P1", "A4", "横向", "1", "2", "3", "4", "-0.5", " 7 "};
    const PrintSection shown = shownPrintSection(stored);
    EXPECT_EQ(shown.printer, "P1");
    EXPECT_EQ(shown.paper, "A4");
    EXPECT_EQ(shown.direction, "横向");
    EXPECT_EQ(shown.marginUp + shown.marginDown + shown.marginLeft + shown.marginRight, "1234");
    EXPECT_EQ(shown.offsetX, "-0.5");
    EXPECT_EQ(shown.offsetY, " 7 "); // shown as stored; saving trims
}

TEST(StoredPaper, TrimsAndStoresTheCustomEntryAsEmpty)
{
    const struct {
        std::string text;
        std::string stored;
    } cases[] = {
        {"A4", "A4"},
        {"  Letter ", "Letter"},
        {kCustomPaperText, ""},
        {std::string(" ") + kCustomPaperText + " ", ""},
        {"", ""},
        {"(自定义纸张)x", "(自定义纸张)x"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(storedPaper(c.text), c.stored) << c.text;
}
