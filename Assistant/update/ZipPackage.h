#pragma once
// ZIP archives of the module update: the package unpacked into the upgrade folder and the module
// archives unpacked over module folders. An entry is only ever written below its destination
// folder: absolute names, ".." components and symbolic links are refused, and the folder an
// entry lands in is checked again after symbolic links on disk are resolved.
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct zip;

namespace kx {

// The entry name as a relative path ("\" counts as a separator), or nullopt when it is absolute,
// carries a drive letter, has a ".." component or names nothing.
std::optional<std::filesystem::path> safeEntryPath(const std::string& entryName);

// True when path lies inside folder, compared component by component (both taken as given).
bool isInsideFolder(const std::filesystem::path& folder, const std::filesystem::path& path);

struct ZipEntry {
    std::uint64_t index = 0;
    std::string name;       // as stored
    bool directory = false; // name ends with "/"
    bool symlink = false;   // stored as a symbolic link
};

class ZipArchive {
public:
    // Raises KxError when the archive cannot be opened.
    explicit ZipArchive(const std::string& path);
    ~ZipArchive();
    ZipArchive(const ZipArchive&) = delete;
    ZipArchive& operator=(const ZipArchive&) = delete;

    const std::vector<ZipEntry>& entries() const { return entries_; }
    // Writes the entry below folder at its own relative path, creating folders and replacing an
    // existing file. Raises KxError for an unsafe entry or a failed read or write.
    void extract(const ZipEntry& entry, const std::filesystem::path& folder) const;

private:
    ::zip* zip_ = nullptr;
    std::vector<ZipEntry> entries_;
};

// Extracts every entry of the ZIP file into destination, recreating folders and overwriting
// existing files. Nothing is written when any entry is unsafe. False on any failure.
bool unpackPackage(const std::string& zipFile, const std::string& destination);

} // namespace kx
