#pragma once
// File operations that need more than the standard library offers: replacing a file atomically,
// renaming without ever replacing, asking whether an existing file may be written, and reading a
// whole file's bytes without copying them onto the heap.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace kx::platform {

// Writes bytes to a new file in the folder of path, flushes it to disk and renames it over path,
// so readers see either the old or the new contents, never a part. An existing file keeps its
// permissions and (where allowed) its owner; a symbolic link is followed and its target replaced.
// False on any failure, with the temporary file removed and path untouched. On Windows a file
// marked read-only is not replaced.
bool replaceFileAtomically(const std::string& path, std::string_view bytes);

// True when path is a regular file (not a link) that nobody but its owner, who is this process's
// user or the system's administrator account, may change: on POSIX systems owned by root or the
// effective user and writable by neither group nor others. Windows: the program folder's
// permissions (administrators only, under Program Files) are what protect it: true for any
// regular file.
bool fileChangeableOnlyByOwner(const std::string& path);

// True when path is an existing regular file that is not marked read-only (some write permission
// bit set) and that this process is allowed to write.
bool fileWritable(const std::string& path);

// What one look at a regular file tells: its size and when it was last written (nanoseconds since
// 1970 in UTC, at the file system's resolution). Nothing for anything else or a failed look.
struct FileStamp {
    std::uint64_t size = 0;
    std::int64_t modifiedNs = 0;
};
std::optional<FileStamp> regularFileStamp(const std::string& path);
// Now, on the same scale as FileStamp::modifiedNs.
std::int64_t nowNs();

// Gives from the name to in one step, unless something (a file, folder or link, even a dangling
// one) already has that name: then, and on any other failure, false with both names untouched.
bool renameNoReplace(const std::string& from, const std::string& to);

// The bytes of a regular file, mapped read-only for as long as the view lives. The file must not
// change while it is viewed.
class FileView {
public:
    FileView() = default;
    ~FileView() { close(); }
    FileView(FileView&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)),
          mapped_(std::exchange(other.mapped_, false))
    {
    }
    FileView& operator=(FileView&& other) noexcept
    {
        if (this != &other) {
            close();
            data_ = std::exchange(other.data_, nullptr);
            size_ = std::exchange(other.size_, 0);
            mapped_ = std::exchange(other.mapped_, false);
        }
        return *this;
    }
    FileView(const FileView&) = delete;
    FileView& operator=(const FileView&) = delete;

    // False when path is not a readable regular file.
    bool open(const std::string& path);
    std::string_view bytes() const { return {static_cast<const char*>(data_), size_}; }

private:
    void close();
    void* data_ = nullptr;
    std::size_t size_ = 0;
    bool mapped_ = false;
};

} // namespace kx::platform
