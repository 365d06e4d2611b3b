#pragma once
// The print settings files under data/json: the application identifier (application.json), the
// bill codes of each application (bill.json) and one printer section per bill code (print.json).
#include "common/Config.h"

#include <string>
#include <string_view>
#include <vector>

namespace kx {

// The default bill code. Its printer section is the top-level member "00000000_PRINTER".
inline constexpr const char* kDefaultBillCode = "00000000";

// "AppId" of data/json/application.json as text; empty when the file is empty or lacks the
// member. Errors of loadJsonFile pass on.
std::string readAppId(const std::string& programFolder);

// The member as text: strings as they are, null as empty text, other values in their JSON form.
// Empty text when object is null, not an object, or lacks the member.
std::string readJsonString(const Json* object, const std::string& name);

// Empty after removing leading and trailing blanks (and control characters).
bool isBlank(std::string_view text);
std::string trimBlanks(std::string_view text);

struct BillCode {
    std::string code;
    std::string moduleName;
};

// The codes offered for an application: "00000000" (module name "00000000") first, then the
// members of bill.json's member appId in file order, a member named "00000000" skipped; an
// empty module name is replaced by the code. Errors of loadJsonFile pass on.
std::vector<BillCode> loadBillCodes(const std::string& programFolder, const std::string& appId);

// The nine texts of a printer section.
struct PrintSection {
    std::string printer;
    std::string paper; // empty = custom paper
    std::string direction;
    std::string marginUp;
    std::string marginDown;
    std::string marginLeft;
    std::string marginRight;
    std::string offsetX;
    std::string offsetY;
};

// The paper box's entry for custom paper; it is stored as an empty paper.
inline constexpr const char* kCustomPaperText = "(自定义纸张)";

// The texts shown for a stored section: a blank paper shows the custom paper entry, a blank
// direction "纵向", blank margins and offsets "0"; a blank printer shows empty text (the caller
// puts the system's default printer there). Other members are shown as stored.
PrintSection shownPrintSection(const PrintSection& stored);
// The paper member to store for the text of the paper box: trimmed, empty for the custom entry.
std::string storedPaper(std::string_view paperText);

// The stored section of a bill code as written (a missing section gives empty texts). A blank code
// or "00000000" selects the top-level "00000000_PRINTER"; any other code the member
// code + "_PRINTER" inside the top-level member appId (the code taken as typed, not trimmed).
PrintSection loadPrintSection(const std::string& programFolder, const std::string& appId,
                              const std::string& code);

// Reads print.json afresh, sets the section's nine members (trimmed; existing members keep their
// place, new ones are appended in the order OffsetX, OffsetY, MarginUp, MarginDown, MarginLeft,
// MarginRight, Printer, Paper, Direction), keeps every other member, and replaces the file with
// compact UTF-8 without byte order mark. Raises KxError when the file cannot be read or written or
// when a member on the way to the section is not an object; nothing is written then.
void savePrintSection(const std::string& programFolder, const std::string& appId,
                      const std::string& code, const PrintSection& section);

} // namespace kx
