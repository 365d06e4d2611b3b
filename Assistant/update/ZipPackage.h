#pragma once
// ZIP archives of the module update: the package unpacked into the upgrade folder and the module
// archives unpacked over module folders. An entry is only ever written below its destination
// folder: absolute names, ".." components and symbolic links are refused, and the folder an
// entry lands in is checked again after symbolic links on disk are resolved. What one update may
// unpack is capped (UnpackBudget): an archive whose entries claim more is refused before anything
// is written, and extraction stops as soon as the bytes actually written go beyond the claims or
// the cap.
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

struct zip;

namespace kx {

// The entry name as a relative path ("\" counts as a separator), or nullopt when it is absolute,
// holds a colon (a drive letter or a stream name on Windows), has a ".." component or names
// nothing.
std::optional<std::filesystem::path> safeEntryPath(const std::string& entryName);

// True when path lies inside folder, compared component by component (both taken as given).
bool isInsideFolder(const std::filesystem::path& folder, const std::filesystem::path& path);

// What the archives of one update (the package and every module archive in it) may unpack
// together. A module package is a handful of libraries of a few megabytes to a few hundred; 1 GiB
// and 10,000 entries are far beyond any real one, yet keep a small hostile archive (a "zip bomb")
// from filling the disk or the folder table.
struct UnpackBudget {
    static constexpr std::uint64_t kMaxBytes = std::uint64_t{1} << 30;
    static constexpr std::uint64_t kMaxEntries = 10000;
    std::uint64_t bytes = kMaxBytes;     // left to write
    std::uint64_t entries = kMaxEntries; // left to create
};

// Raised when an archive is refused as unsafe (escaping names, links, more than the budget);
// other failures (unreadable archive, a failed write) raise KxError.
class UnsafeArchive : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct ZipEntry {
    std::uint64_t index = 0;
    std::string name;       // as stored
    bool directory = false; // name ends with "/"
    bool symlink = false;   // stored as a symbolic link
    std::uint64_t size = 0; // uncompressed size as the archive declares it
};

class ZipArchive {
public:
    // Raises KxError when the archive cannot be opened.
    explicit ZipArchive(const std::string& path);
    ~ZipArchive();
    ZipArchive(const ZipArchive&) = delete;
    ZipArchive& operator=(const ZipArchive&) = delete;

    const std::vector<ZipEntry>& entries() const { return entries_; }
    // Raises UnsafeArchive when the listed entries (all of them, or only those given) claim more
    // entries or bytes than the budget has left.
    void checkClaims(const UnpackBudget& budget) const;
    void checkClaims(const std::vector<const ZipEntry*>& entries, const UnpackBudget& budget) const;
    // Writes the entry below folder at its own relative path, creating folders and replacing an
    // existing file, and takes what it wrote from budget. Raises UnsafeArchive for an unsafe
    // entry, one that turns out larger than it claims or than the budget; KxError for a failed
    // read or write. A partly written file is removed.
    void extract(const ZipEntry& entry, const std::filesystem::path& folder, UnpackBudget& budget) const;

private:
    ::zip* zip_ = nullptr;
    std::vector<ZipEntry> entries_;
};

struct UnpackResult {
    bool ok = false;
    bool unsafe = false; // refused as unsafe (see UnsafeArchive), not merely failed
    std::string why;     // for the run log, when !ok
};

// Extracts every entry of the ZIP file into destination, recreating folders and overwriting
// existing files, within budget. Nothing is written when an entry is unsafe by its name or the
// archive claims more than the budget; an entry found larger while it is written stops it there.
UnpackResult unpackPackage(const std::string& zipFile, const std::string& destination, UnpackBudget& budget);

} // namespace kx
