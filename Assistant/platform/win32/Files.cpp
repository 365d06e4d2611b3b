#include "platform/Files.h"

#include "platform/PathText.h"
#include "platform/win32/WideText.h"

#include <windows.h>

#include <aclapi.h>

#include <atomic>
#include <cstdio>
#include <random>

namespace kx::platform {
namespace {

std::wstring nativePath(const std::string& path)
{
    return win32::wideFromUtf8(toNativeSeparators(path));
}

class Handle {
public:
    explicit Handle(HANDLE h) : h_(h) {}
    ~Handle() { close(); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    bool valid() const { return h_ != INVALID_HANDLE_VALUE && h_ != nullptr; }
    HANDLE get() const { return h_; }
    void reset(HANDLE h)
    {
        close();
        h_ = h;
    }
    bool close()
    {
        const bool ok = !valid() || CloseHandle(h_);
        h_ = INVALID_HANDLE_VALUE;
        return ok;
    }

private:
    HANDLE h_;
};

// The file a write must replace: the target of a symbolic link, otherwise path itself.
std::wstring resolvedTarget(const std::wstring& path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return path;
    Handle file(CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!file.valid())
        return path;
    std::wstring final(MAX_PATH, L'\0');
    DWORD n = GetFinalPathNameByHandleW(file.get(), final.data(), static_cast<DWORD>(final.size()), 0);
    if (n >= final.size()) {
        final.resize(n + 1);
        n = GetFinalPathNameByHandleW(file.get(), final.data(), static_cast<DWORD>(final.size()), 0);
    }
    if (n == 0 || n >= final.size())
        return path;
    final.resize(n);
    return final; // "\\?\" form, which every wide call below takes
}

std::wstring temporaryName(const std::wstring& target)
{
    static std::atomic<unsigned> counter{0};
    static thread_local std::mt19937_64 rng{std::random_device{}()};
    wchar_t suffix[64];
    std::swprintf(suffix, 64, L".tmp-%lu-%u-%llx", static_cast<unsigned long>(GetCurrentProcessId()),
                  counter.fetch_add(1), static_cast<unsigned long long>(rng()));
    const auto slash = target.find_last_of(L"\\/");
    const std::wstring dir = slash == std::wstring::npos ? L"" : target.substr(0, slash + 1);
    const std::wstring name = slash == std::wstring::npos ? target : target.substr(slash + 1);
    return dir + L"." + name + suffix;
}

bool writeAll(HANDLE file, std::string_view bytes)
{
    while (!bytes.empty()) {
        const DWORD chunk = bytes.size() > (1u << 30) ? (1u << 30) : static_cast<DWORD>(bytes.size());
        DWORD written = 0;
        if (!WriteFile(file, bytes.data(), chunk, &written, nullptr) || written == 0)
            return false;
        bytes.remove_prefix(written);
    }
    return true;
}

// Gives the new file the access rules of the file it replaces (a file created in the same folder
// already inherits the same rules from it, so only rules set on the file itself make a difference).
bool copyAccessRules(const std::wstring& from, HANDLE to)
{
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoW(from.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                              nullptr, &descriptor) != ERROR_SUCCESS)
        return false;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    bool ok = GetSecurityDescriptorControl(descriptor, &control, &revision) != FALSE;
    if (ok && dacl) {
        const SECURITY_INFORMATION which = DACL_SECURITY_INFORMATION |
            ((control & SE_DACL_PROTECTED) ? PROTECTED_DACL_SECURITY_INFORMATION
                                           : UNPROTECTED_DACL_SECURITY_INFORMATION);
        ok = SetSecurityInfo(to, SE_FILE_OBJECT, which, nullptr, nullptr, dacl, nullptr) == ERROR_SUCCESS;
    }
    LocalFree(descriptor);
    return ok;
}

} // namespace

// The new bytes go to a temporary file beside the target, are flushed to the disk, and the
// temporary file is moved over the target with a write-through move, so the rename is on the
// disk too when the call returns. A target marked read-only is not replaced: Windows refuses such a
// move, and it is checked here as well because Wine allows it.
bool replaceFileAtomically(const std::string& path, std::string_view bytes)
{
    const std::wstring target = resolvedTarget(nativePath(path));
    WIN32_FILE_ATTRIBUTE_DATA original{};
    const bool existed = GetFileAttributesExW(target.c_str(), GetFileExInfoStandard, &original) != FALSE;
    if (existed && (original.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)))
        return false;

    std::wstring temp;
    Handle file(INVALID_HANDLE_VALUE);
    for (int attempt = 0; attempt < 16 && !file.valid(); ++attempt) {
        temp = temporaryName(target);
        const HANDLE created = CreateFileW(temp.c_str(), GENERIC_WRITE | WRITE_DAC, 0, nullptr, CREATE_NEW,
                                           FILE_ATTRIBUTE_NORMAL, nullptr);
        if (created == INVALID_HANDLE_VALUE) {
            const DWORD error = GetLastError();
            if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS)
                return false;
            continue;
        }
        file.reset(created);
    }
    if (!file.valid())
        return false;

    bool ok = writeAll(file.get(), bytes);
    if (ok && existed)
        ok = copyAccessRules(target, file.get());
    ok = ok && FlushFileBuffers(file.get());
    ok = file.close() && ok;
    if (ok && existed) {
        // Hidden, system and the like stay as they were.
        const DWORD kept = original.dwFileAttributes &
            (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED);
        if (kept)
            ok = SetFileAttributesW(temp.c_str(), kept) != FALSE;
    }
    ok = ok && MoveFileExW(temp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    if (!ok) {
        SetFileAttributesW(temp.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(temp.c_str());
        return false;
    }
    return true;
}

namespace {

// FILETIME counts 100-nanosecond steps since 1601; 1970 is this many steps later.
constexpr std::int64_t kFileTimeAt1970 = 116444736000000000LL;

std::int64_t unixNs(const FILETIME& time)
{
    const std::int64_t steps = (static_cast<std::int64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    return (steps - kFileTimeAt1970) * 100;
}

} // namespace

std::optional<FileStamp> regularFileStamp(const std::string& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(nativePath(path).c_str(), GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)))
        return std::nullopt;
    return FileStamp{(static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow,
                     unixNs(data.ftLastWriteTime)};
}

std::int64_t nowNs()
{
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    return unixNs(now);
}

bool fileChangeableOnlyByOwner(const std::string& path)
{
    const DWORD attributes = GetFileAttributesW(win32::wideFromUtf8(toNativeSeparators(path)).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
}

bool fileWritable(const std::string& path)
{
    const std::wstring wide = nativePath(path);
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)))
        return false;
    // Opening for writing (with every sharing allowed, nothing written) asks the file's access
    // rules; a file that another process holds without sharing is still one we may write.
    Handle file(CreateFileW(wide.c_str(), FILE_WRITE_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid())
        return GetLastError() == ERROR_SHARING_VIOLATION;
    return GetFileType(file.get()) == FILE_TYPE_DISK;
}

// A move without the replace flag fails when anything has the new name already.
bool renameNoReplace(const std::string& from, const std::string& to)
{
    return MoveFileExW(nativePath(from).c_str(), nativePath(to).c_str(), 0) != FALSE;
}

void FileView::close()
{
    if (mapped_)
        UnmapViewOfFile(data_);
    data_ = nullptr;
    size_ = 0;
    mapped_ = false;
}

bool FileView::open(const std::string& path)
{
    close();
    Handle file(CreateFileW(nativePath(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid() || GetFileType(file.get()) != FILE_TYPE_DISK)
        return false;
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.get(), &size) || size.QuadPart < 0 ||
        static_cast<unsigned long long>(size.QuadPart) > SIZE_MAX)
        return false;
    if (size.QuadPart == 0) // nothing to map; an empty view
        return true;
    Handle mapping(CreateFileMappingW(file.get(), nullptr, PAGE_READONLY, 0, 0, nullptr));
    if (!mapping.valid())
        return false;
    // The view keeps the mapping (and the file) alive after both handles are closed.
    void* p = MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, 0);
    if (!p)
        return false;
    data_ = p;
    size_ = static_cast<std::size_t>(size.QuadPart);
    mapped_ = true;
    return true;
}

} // namespace kx::platform
