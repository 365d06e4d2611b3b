// Profile (INI) files: reading values and key lists, and writes checked against the exact bytes
// of the file afterwards.
#include "common/Errors.h"
#include "common/Profile.h"
#include "common/TextCodec.h"

#include "../common/TempPath.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;
using namespace kx;

namespace {

struct TempFolder {
    fs::path path;
    TempFolder()
    {
        path = kx::test::makeTempFolder("kx-profile-");
    }
    ~TempFolder()
    {
        std::error_code ec;
        fs::permissions(path, fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(path, ec);
    }
    std::string file(const std::string& name) const { return (path / name).string(); }
    void write(const std::string& name, const std::string& bytes) const
    {
        std::ofstream(path / name, std::ios::binary) << bytes;
    }
    std::string read(const std::string& name) const
    {
        std::ifstream in(path / name, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    std::vector<std::string> entries() const
    {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(path))
            names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
};

std::string utf16Le(const std::string& utf8) { return "\xFF\xFE" + utf16ToBytes(utf8ToUtf16(utf8), false); }
std::string utf16Be(const std::string& utf8) { return "\xFE\xFF" + utf16ToBytes(utf8ToUtf16(utf8), true); }

// The same text with every CR LF replaced.
std::string withLineEnd(const std::string& text, const std::string& ending)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text.compare(i, 2, "\r\n") == 0) {
            out += ending;
            ++i;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::string toLf(const std::string& text) { return withLineEnd(text, "\n"); }

// One file exercising every reading rule, stored in each supported form.
const std::string kSample =
    "; leading comment\r\n"
    "orphan=before any section\r\n"
    "[HTTP]\r\n"
    "server.port = 8080 \r\n"
    "  SERVER.IP=\t10.0.0.1\t\r\n"
    "quoted=\"  a b  \"\r\n"
    "single='x'\r\n"
    "mismatched=\"x'\r\n"
    "lonequote=\"\r\n"
    "inner=a \"b\" c\r\n"
    "empty=\r\n"
    "blanks=  \t \r\n"
    "emptyquotes=\"\"\r\n"
    "equals=a=b\r\n"
    "dup=first\r\n"
    "DUP=second\r\n"
    ";commented=yes\r\n"
    " \t; indented=yes\r\n"
    "noequals\r\n"
    "=nameless\r\n"
    "name=客户端\r\n"
    "\r\n"
    "[Other]\r\n"
    "k=v\r\n"
    "[ Spaced\t]\r\n"
    "z=1\r\n"
    "[http]\r\n"
    "server.port=9999\r\n"
    "extra=from the second section\r\n";

struct ReadCase {
    const char* section;
    const char* key;
    const char* expected; // with default "DEF"
};

const ReadCase kReadCases[] = {
    {"HTTP", "server.port", "8080"},           // blanks around key and value
    {"http", "Server.Port", "8080"},           // names without case; first section wins
    {"HTTP", "server.ip", "10.0.0.1"},         // indented key in capitals, tabs
    {"HTTP", "quoted", "  a b  "},             // quotes removed, inner blanks kept
    {"HTTP", "single", "x"},
    {"HTTP", "mismatched", "\"x'"},
    {"HTTP", "lonequote", "\""},
    {"HTTP", "inner", "a \"b\" c"},
    {"HTTP", "empty", ""},                     // present but empty: not the default
    {"HTTP", "blanks", ""},
    {"HTTP", "emptyquotes", ""},
    {"HTTP", "equals", "a=b"},                 // split at the first "="
    {"HTTP", "dup", "first"},                  // first of two equal keys
    {"HTTP", ";commented", "DEF"},             // comment lines hold no keys
    {"HTTP", "commented", "DEF"},
    {"HTTP", "; indented", "DEF"},
    {"HTTP", "noequals", "DEF"},               // a line without "=" is no key
    {"HTTP", "name", "客户端"},
    {"HTTP", "extra", "DEF"},                  // only the first of two equal sections is read
    {"HTTP", "k", "DEF"},                      // a section ends at the next header
    {"HTTP", "orphan", "DEF"},                 // lines before any section belong to none
    {"", "orphan", "DEF"},
    {"Other", "k", "v"},
    {"Other", "server.port", "DEF"},
    {"spaced", "z", "1"},                      // blanks inside the brackets trimmed
    {"Missing", "k", "DEF"},
    {"HTTP", "missing", "DEF"},
};

struct FileForm {
    const char* name;
    std::string (*make)(const std::string&);
};

const FileForm kForms[] = {
    {"crlf", [](const std::string& s) { return s; }},
    {"lf", [](const std::string& s) { return toLf(s); }},
    {"utf8-mark", [](const std::string& s) { return "\xEF\xBB\xBF" + s; }},
    {"utf16le", [](const std::string& s) { return utf16Le(s); }},
    {"utf16le-lf", [](const std::string& s) { return utf16Le(toLf(s)); }},
    {"lone cr", [](const std::string& s) { return withLineEnd(s, "\r"); }},
    {"cr cr lf", [](const std::string& s) { return withLineEnd(s, "\r\r\n"); }},
    {"utf16le cr cr lf", [](const std::string& s) { return utf16Le(withLineEnd(s, "\r\r\n")); }},
    {"utf16be", [](const std::string& s) { return utf16Be(s); }},
    {"utf16be lone cr", [](const std::string& s) { return utf16Be(withLineEnd(s, "\r")); }},
};

TEST(ProfileRead, RulesHoldInEveryFileForm)
{
    TempFolder dir;
    for (const FileForm& form : kForms) {
        dir.write("sample.ini", form.make(kSample));
        for (const ReadCase& c : kReadCases) {
            EXPECT_EQ(readProfileString(dir.file("sample.ini"), c.section, c.key, "DEF"), c.expected)
                << form.name << " [" << c.section << "] " << c.key;
        }
    }
}

TEST(ProfileRead, LastLineWithoutLineEnd)
{
    TempFolder dir;
    dir.write("a.ini", "[A]\r\nk= v ");
    EXPECT_EQ(readProfileString(dir.file("a.ini"), "A", "k", "DEF"), "v");
    dir.write("b.ini", utf16Le("[A]\r\nk=v\r"));
    EXPECT_EQ(readProfileString(dir.file("b.ini"), "A", "k", "DEF"), "v");
    dir.write("c.ini", utf16Le("[A]\r\nk=v") + "Z"); // a stray odd last byte is no character
    EXPECT_EQ(readProfileString(dir.file("c.ini"), "A", "k", "DEF"), "v");
}

TEST(ProfileRead, MissingFileGivesDefaultAndCreatesNothing)
{
    TempFolder dir;
    EXPECT_EQ(readProfileString(dir.file("none.ini"), "A", "k", "DEF"), "DEF");
    EXPECT_EQ(readProfileString(dir.file("no/folder.ini"), "A", "k", ""), "");
    EXPECT_TRUE(listProfileKeys(dir.file("none.ini"), "A").empty());
    EXPECT_TRUE(dir.entries().empty());
}

TEST(ProfileRead, ValuesAreCutAt2047Characters)
{
    const std::string a2046(2046, 'a');
    struct Case {
        const char* name;
        std::string value;    // as stored in the file
        std::string expected; // as read
        bool utf16;
    } cases[] = {
        {"exactly the limit", std::string(2047, 'x'), std::string(2047, 'x'), false},
        {"one over", std::string(2048, 'x'), std::string(2047, 'x'), false},
        {"far over", std::string(5000, 'x'), std::string(2047, 'x'), false},
        {"counted in characters, not bytes", a2046 + "中文字", a2046 + "中", false},
        {"quotes removed before the cut", "\"" + std::string(2047, 'q') + "\"", std::string(2047, 'q'), false},
        {"utf16: a surrogate pair is one character", a2046 + "😀😀", a2046 + "😀", true},
        {"utf16: limit in characters", std::string(1000, 'b') + std::string(1200, 'c'),
         std::string(1000, 'b') + std::string(1047, 'c'), true},
    };
    TempFolder dir;
    for (const Case& c : cases) {
        const std::string text = "[S]\r\nk=" + c.value + "\r\n";
        dir.write("long.ini", c.utf16 ? utf16Le(text) : text);
        EXPECT_EQ(readProfileString(dir.file("long.ini"), "S", "k", ""), c.expected) << c.name;
    }
}

TEST(ProfileList, KeysInFileOrderOnceEach)
{
    TempFolder dir;
    for (const FileForm& form : kForms) {
        dir.write("sample.ini", form.make(kSample));
        const std::vector<std::string> expected = {
            "server.port", "SERVER.IP", "quoted", "single", "mismatched", "lonequote", "inner",
            "empty", "blanks", "emptyquotes", "equals", "dup", "name"};
        EXPECT_EQ(listProfileKeys(dir.file("sample.ini"), "http"), expected) << form.name;
        EXPECT_EQ(listProfileKeys(dir.file("sample.ini"), "OTHER"), std::vector<std::string>{"k"});
        EXPECT_TRUE(listProfileKeys(dir.file("sample.ini"), "Missing").empty());
    }
}

struct WriteCase {
    const char* name;
    std::string before; // empty with missing = true: no file
    bool missing;
    const char* section;
    const char* key;
    const char* value;
    std::string after;
};

const WriteCase kWriteCases[] = {
    {"replace in place, key spelled as in the file", "[A]\r\n  Server.Port = 1 ; old\r\nz=1\r\n", false,
     "a", "server.port", "2", "[A]\r\nServer.Port=2\r\nz=1\r\n"},
    {"other lines untouched, LF kept",
     "; top\n[A]\n  x =  1 \n\n;c=3\nk='old'\n\t[B]  \ny = 2\n", false, "A", "k", "new",
     "; top\n[A]\n  x =  1 \n\n;c=3\nk=new\n\t[B]  \ny = 2\n"},
    {"empty value written", "[A]\r\nk=1\r\n", false, "A", "k", "", "[A]\r\nk=\r\n"},
    {"first of two equal keys and sections", "[A]\nk=1\nK=2\n[a]\nk=3\n", false, "A", "k", "9",
     "[A]\nk=9\nK=2\n[a]\nk=3\n"},
    {"key before any section is not the section's", "k=0\n[A]\nk=1\n", false, "A", "k", "2",
     "k=0\n[A]\nk=2\n"},
    {"append key after the last non-blank line of its section", "[A]\nx=1\n; note\n\n\n[B]\ny=2\n",
     false, "A", "new", "v", "[A]\nx=1\n; note\nnew=v\n\n\n[B]\ny=2\n"},
    {"append key to an empty section", "[A]\r\n\r\n[B]\r\n", false, "A", "k", "v",
     "[A]\r\nk=v\r\n\r\n[B]\r\n"},
    {"append key found only in a second equal section", "[A]\nx=1\n[a]\nk=3\n", false, "A", "k", "v",
     "[A]\nx=1\nk=v\n[a]\nk=3\n"},
    {"append key to a last line without line end", "[A]\r\nx=1", false, "A", "k", "v",
     "[A]\r\nx=1\r\nk=v\r\n"},
    {"append section", "[A]\nx=1\n", false, "B", "k", "v", "[A]\nx=1\n[B]\nk=v\n"},
    {"append section after a last line without line end", "[A]\nx=1", false, "B", "k", "v",
     "[A]\nx=1\n[B]\nk=v\n"},
    {"append section to keys outside any section", "k=0\r\n", false, "A", "k", "v",
     "k=0\r\n[A]\r\nk=v\r\n"},
    {"empty file", "", false, "A", "k", "v", "[A]\r\nk=v\r\n"},
    {"create missing file", "", true, "HTTP", "server.update.url", "http://h/upgrade/app",
     "[HTTP]\r\nserver.update.url=http://h/upgrade/app\r\n"},
    {"utf-8 mark kept", "\xEF\xBB\xBF[A]\r\nk=1\r\n", false, "A", "k", "中文",
     "\xEF\xBB\xBF[A]\r\nk=中文\r\n"},
    {"utf-16le replace", utf16Le("[A]\r\nk=1\r\n名=值\r\n"), false, "A", "K", "中文",
     utf16Le("[A]\r\nk=中文\r\n名=值\r\n")},
    {"utf-16le append key, LF kept", utf16Le("[A]\nx=1"), false, "A", "k", "v",
     utf16Le("[A]\nx=1\nk=v\n")},
    {"utf-16le new section", utf16Le("[A]\r\nx=1\r\n"), false, "DLL", "print", "v1.2",
     utf16Le("[A]\r\nx=1\r\n[DLL]\r\nprint=v1.2\r\n")},
    // A lone CR ends a line like CR LF and LF; new lines take the file's first line end.
    {"append section after a last line ending in lone CR", "[A]\rx=1\r", false, "B", "k", "v",
     "[A]\rx=1\r[B]\rk=v\r"},
    {"append key after a last line ending in lone CR", "[A]\r\nx=1\r", false, "A", "k", "v",
     "[A]\r\nx=1\rk=v\r\n"},
    {"replace in a CR CR LF file", "[HTTP]\r\r\nserver.port=13526\r\r\n", false, "HTTP", "server.port",
     "8080", "[HTTP]\r\r\nserver.port=8080\r\r\n"},
    {"utf-16le lone CR, append section", utf16Le("[A]\rx=1\r"), false, "B", "k", "v",
     utf16Le("[A]\rx=1\r[B]\rk=v\r")},
    // A stray last byte of a UTF-16 file stays last, so the lines before it stay on character bounds.
    {"utf-16le odd length, append section", utf16Le("[A]\r\nx=1\r\n") + "Z", false, "B", "k", "v",
     utf16Le("[A]\r\nx=1\r\n[B]\r\nk=v\r\n") + "Z"},
    {"utf-16le odd length without last line end, append key", utf16Le("[A]\r\nx=1") + "Z", false, "A",
     "k", "v", utf16Le("[A]\r\nx=1\r\nk=v\r\n") + "Z"},
    {"utf-16le odd length, insert key before other sections", utf16Le("[A]\r\nx=1\r\n[B]\r\ny=2") + "Z",
     false, "A", "k", "v", utf16Le("[A]\r\nx=1\r\nk=v\r\n[B]\r\ny=2") + "Z"},
    {"utf-16be replace", utf16Be("[A]\r\nk=1\r\n名=值\r\n"), false, "A", "K", "中文",
     utf16Be("[A]\r\nk=中文\r\n名=值\r\n")},
    {"utf-16be new section", utf16Be("[A]\nx=1"), false, "DLL", "print", "v1.2",
     utf16Be("[A]\nx=1\n[DLL]\nprint=v1.2\n")},
};

TEST(ProfileWrite, ExactBytesAfterWrite)
{
    for (const WriteCase& c : kWriteCases) {
        TempFolder dir;
        if (!c.missing)
            dir.write("w.ini", c.before);
        writeProfileString(dir.file("w.ini"), c.section, c.key, c.value);
        EXPECT_EQ(dir.read("w.ini"), c.after) << c.name;
        EXPECT_EQ(readProfileString(dir.file("w.ini"), c.section, c.key, "DEF"), c.value) << c.name;
        EXPECT_EQ(dir.entries(), std::vector<std::string>{"w.ini"}) << c.name << ": stray files";
    }
}

TEST(ProfileWrite, SuccessiveWritesBuildTheFile)
{
    TempFolder dir;
    const std::string f = dir.file("sys.ini");
    writeProfileString(f, "HTTP", "server.ip", "127.0.0.1");
    writeProfileString(f, "APP", "application.upgrade.timer.interval", "8");
    writeProfileString(f, "HTTP", "server.port", "13526");
    writeProfileString(f, "http", "SERVER.IP", "::1");
    EXPECT_EQ(dir.read("sys.ini"),
              "[HTTP]\r\nserver.ip=::1\r\nserver.port=13526\r\n"
              "[APP]\r\napplication.upgrade.timer.interval=8\r\n");
}

TEST(ProfileWrite, KeepsPermissionsAndFollowsLinks)
{
    TempFolder dir;
    dir.write("real.ini", "[A]\nk=1\n");
    fs::permissions(dir.path / "real.ini", fs::perms::owner_read | fs::perms::owner_write |
                                               fs::perms::group_read);
    fs::create_symlink(dir.path / "real.ini", dir.path / "link.ini");

    writeProfileString(dir.file("link.ini"), "A", "k", "2");

    EXPECT_TRUE(fs::is_symlink(dir.path / "link.ini"));
    EXPECT_EQ(dir.read("real.ini"), "[A]\nk=2\n");
    EXPECT_EQ(fs::status(dir.path / "real.ini").permissions(),
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"link.ini", "real.ini"}));
}

// Expects the write to fail with this message (by default "Unable to write to <file>") and to
// change nothing.
void expectWriteFails(const TempFolder& dir, const std::string& file, const std::string& section,
                      const std::string& key, const std::string& value, const char* what,
                      const std::string& message = "")
{
    const std::vector<std::string> entriesBefore = dir.entries();
    const std::string bytesBefore = fs::is_regular_file(file) ? dir.read(fs::path(file).filename().string()) : "";
    try {
        writeProfileString(file, section, key, value);
        ADD_FAILURE() << what << ": no error raised";
    } catch (const KxError& e) {
        EXPECT_EQ(e.what(), message.empty() ? "Unable to write to " + file : message) << what;
        EXPECT_EQ(e.errorClass(), kProfileWriteErrorClass) << what;
    }
    EXPECT_EQ(dir.entries(), entriesBefore) << what;
    if (fs::is_regular_file(file)) {
        EXPECT_EQ(dir.read(fs::path(file).filename().string()), bytesBefore) << what;
    }
}

TEST(ProfileWrite, FailuresNameTheFileAndChangeNothing)
{
    TempFolder dir;
    dir.write("ok.ini", "[A]\r\nk=1\r\n");
    expectWriteFails(dir, dir.file("missing/sys.ini"), "A", "k", "v", "missing folder");

    fs::create_directory(dir.path / "folder.ini");
    expectWriteFails(dir, dir.file("folder.ini"), "A", "k", "v", "a folder in the file's place");

    // Names and values the format cannot hold; a line break would add lines of the caller's
    // choosing to the file. The message says why.
    const struct {
        const char* section;
        const char* key;
        const char* value;
        const char* named; // how the message names the entry
        const char* reason;
    } unwritable[] = {
        {"A", "k", "v\r\n[HTTP]\r\nserver.port=1", "[A] k", "the value holds a line break, and a value must stay on one line"},
        {"A", " k ", "v\nx=1", "[A] k", "the value holds a line break, and a value must stay on one line"},
        {"A", "k", "v\r", "[A] k", "the value holds a line break, and a value must stay on one line"},
        {"A\n", "k", "v", "[A\n] k", "the section name holds a line break"},
        {"A", "k\r", "v", "[A] k\r", "the key name holds a line break"},
        {"A]", "k", "v", "[A]] k", "the section name holds \"]\""},
        {"A", "k=x", "v", "[A] k=x", "the key name holds \"=\""},
        {"A", "  ", "v", "[A] ", "the key name is empty"},
        {"A", ";k", "v", "[A] ;k", "the key name begins with \";\""},
        {"A", "[k", "v", "[A] [k", "the key name begins with \"[\""},
    };
    for (const auto& u : unwritable)
        expectWriteFails(dir, dir.file("ok.ini"), u.section, u.key, u.value, u.reason,
                         std::string("Cannot write ") + u.named + " to " + dir.file("ok.ini") + ": " + u.reason);

    dir.write("ro.ini", "[A]\r\nk=1\r\n");
    fs::permissions(dir.path / "ro.ini", fs::perms::owner_read | fs::perms::group_read);
    expectWriteFails(dir, dir.file("ro.ini"), "A", "k", "2", "read-only file");
}

TEST(ProfileWrite, FailureMessageGivesTheFullPath)
{
    TempFolder dir;
    const fs::path saved = fs::current_path();
    fs::current_path(dir.path);
    try {
        writeProfileString("nofolder/x.ini", "A", "k", "v");
        ADD_FAILURE() << "no error raised";
    } catch (const KxError& e) {
        EXPECT_EQ(std::string(e.what()), "Unable to write to " + (dir.path / "nofolder/x.ini").string());
    }
    fs::current_path(saved);
}

TEST(ProfileWrite, ConcurrentWritersLoseNoKey)
{
    TempFolder dir;
    const std::string f = dir.file("c.ini");
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 10; ++i)
                writeProfileString(f, "S" + std::to_string(t % 2), "k" + std::to_string(t) + "_" + std::to_string(i),
                                   std::to_string(i));
        });
    }
    for (auto& th : threads)
        th.join();
    for (int t = 0; t < 4; ++t) {
        const auto keys = listProfileKeys(f, "S" + std::to_string(t % 2));
        for (int i = 0; i < 10; ++i)
            EXPECT_NE(std::find(keys.begin(), keys.end(), "k" + std::to_string(t) + "_" + std::to_string(i)),
                      keys.end());
    }
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"c.ini"});
}

} // namespace
