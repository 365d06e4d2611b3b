#pragma once
// Profile (INI) files with the private-profile rules: section and key names compared without
// case, blanks around names and values trimmed, one pair of matching quotes removed, values cut
// at 2047 characters, ";" comment lines, the first of two equal keys or sections wins. Lines end
// at CR LF, LF or a lone CR. Files that begin with a UTF-16LE or UTF-16BE byte order mark are read
// and written in that encoding, files that begin with a UTF-8 byte order mark as UTF-8 (the mark
// skipped and kept), all others in the system code page (platform/SystemCodePage.h: the ANSI code
// page on Windows, where characters it cannot represent are written as its default character;
// UTF-8 on Linux). Names and values are UTF-8 text in both directions.
#include <string>
#include <vector>

namespace kx {

// Values longer than this many characters (Unicode code points, whatever the file's encoding)
// are cut on read.
constexpr std::size_t kProfileValueLimit = 2047;
// Error class of a failed write.
inline constexpr const char* kProfileWriteErrorClass = "EIniFileException";

// A missing file, section or key gives defaultValue; a key with an empty value gives "".
std::string readProfileString(const std::string& file, const std::string& section,
                              const std::string& key, const std::string& defaultValue);

// Several values from one reading of the file, in the order asked; each as readProfileString
// gives it.
struct ProfileQuery {
    std::string section;
    std::string key;
    std::string defaultValue;
};
std::vector<std::string> readProfileStrings(const std::string& file, const std::vector<ProfileQuery>& queries);

// Keys of a section in file order; names as written in the file, each listed once.
std::vector<std::string> listProfileKeys(const std::string& file, const std::string& section);

// Replaces the value in place, appends a missing key at the end of its section, appends a missing
// section, creates a missing file; every other line stays as it was. The file is replaced
// atomically; a value written reads back as the reading rules see it. Raises KxError "Unable to
// write to <file>" (file made absolute) when the file or its folder cannot be written, and
// "Cannot write [<section>] <key> to <file>: <why>" for names or values the format cannot hold (a
// line break anywhere, "]" in the section, "=" in the key, an empty key or one starting with ";"
// or "["). Both with the error class kProfileWriteErrorClass.
void writeProfileString(const std::string& file, const std::string& section,
                        const std::string& key, const std::string& value);

} // namespace kx
