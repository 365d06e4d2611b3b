#include "update/ZipPackage.h"

#include "common/Errors.h"
#include "common/Paths.h"

#include <zip.h>

#include <algorithm>
#include <fstream>

namespace kx {
namespace fs = std::filesystem;

namespace {

// A Unix entry keeps its file mode in the high half of the external attributes; these are the
// values the archive format inherits from Unix, whatever system reads the archive.
constexpr zip_uint32_t kUnixFileTypeMask = 0170000;
constexpr zip_uint32_t kUnixSymbolicLink = 0120000;

} // namespace

std::optional<fs::path> safeEntryPath(const std::string& entryName)
{
    std::string name = entryName;
    for (char& c : name)
        if (c == '\\')
            c = '/';
    // A colon anywhere is refused: on Windows "C:x" (first or later part) names a path relative
    // to that drive, which replaces everything before it when joined, and "name:x" a hidden
    // stream of the file name.
    if (name.empty() || name[0] == '/' || name.find(':') != std::string::npos)
        return std::nullopt;
    fs::path result;
    std::size_t start = 0;
    while (start <= name.size()) {
        auto slash = name.find('/', start);
        if (slash == std::string::npos)
            slash = name.size();
        const std::string part = name.substr(start, slash - start);
        if (part == "..")
            return std::nullopt;
        if (!part.empty() && part != ".")
            result /= pathFromUtf8(part);
        start = slash + 1;
    }
    if (result.empty())
        return std::nullopt;
    return result;
}

bool isInsideFolder(const fs::path& folder, const fs::path& path)
{
    auto f = folder.begin();
    auto p = path.begin();
    for (; f != folder.end(); ++f) {
        if (f->empty()) // a trailing separator gives an empty last element
            continue;
        if (p == path.end() || *p != *f)
            return false;
        ++p;
    }
    return true;
}

ZipArchive::ZipArchive(const std::string& path)
{
    int error = 0;
    zip_ = zip_open(path.c_str(), ZIP_RDONLY, &error);
    if (!zip_)
        throw KxError("EZipError", "无法打开压缩包 " + utf8FromPath(pathFromUtf8(path).filename()));
    const zip_int64_t count = zip_get_num_entries(zip_, 0);
    if (count < 0 || static_cast<std::uint64_t>(count) > UnpackBudget::kMaxEntries) {
        zip_discard(zip_);
        zip_ = nullptr;
        throw UnsafeArchive("条目数超过上限（" + std::to_string(UnpackBudget::kMaxEntries) + " 个）");
    }
    for (zip_int64_t i = 0; i < count; ++i) {
        const char* name = zip_get_name(zip_, static_cast<zip_uint64_t>(i), ZIP_FL_ENC_GUESS);
        if (!name) {
            zip_discard(zip_);
            zip_ = nullptr;
            throw KxError("EZipError", "无法读取压缩包 " + utf8FromPath(pathFromUtf8(path).filename()));
        }
        ZipEntry e;
        e.index = static_cast<std::uint64_t>(i);
        e.name = name;
        e.directory = !e.name.empty() && (e.name.back() == '/' || e.name.back() == '\\');
        zip_stat_t st;
        zip_stat_init(&st);
        if (zip_stat_index(zip_, e.index, 0, &st) == 0 && (st.valid & ZIP_STAT_SIZE))
            e.size = st.size;
        zip_uint8_t opsys = 0;
        zip_uint32_t attributes = 0;
        if (zip_file_get_external_attributes(zip_, e.index, 0, &opsys, &attributes) == 0 &&
            opsys == ZIP_OPSYS_UNIX)
            e.symlink = ((attributes >> 16) & kUnixFileTypeMask) == kUnixSymbolicLink;
        entries_.push_back(std::move(e));
    }
}

ZipArchive::~ZipArchive()
{
    if (zip_)
        zip_discard(zip_);
}

namespace {

std::string bytesCapText()
{
    return "解压总大小超过上限（" + std::to_string(UnpackBudget::kMaxBytes) + " 字节）";
}

std::string entriesCapText()
{
    return "条目数超过上限（" + std::to_string(UnpackBudget::kMaxEntries) + " 个）";
}

} // namespace

void ZipArchive::checkClaims(const UnpackBudget& budget) const
{
    std::vector<const ZipEntry*> all;
    for (const ZipEntry& e : entries_)
        all.push_back(&e);
    checkClaims(all, budget);
}

void ZipArchive::checkClaims(const std::vector<const ZipEntry*>& entries, const UnpackBudget& budget) const
{
    if (entries.size() > budget.entries)
        throw UnsafeArchive(entriesCapText());
    std::uint64_t total = 0;
    for (const ZipEntry* e : entries) {
        total += e->size;
        if (e->size > budget.bytes || total > budget.bytes)
            throw UnsafeArchive(bytesCapText());
    }
}

void ZipArchive::extract(const ZipEntry& entry, const fs::path& folder, UnpackBudget& budget) const
{
    const auto relative = safeEntryPath(entry.name);
    if (!relative || entry.symlink)
        throw UnsafeArchive("条目路径不安全：" + entry.name);
    if (budget.entries == 0)
        throw UnsafeArchive(entriesCapText());
    --budget.entries;
    const fs::path target = folder / *relative;
    const fs::path directory = entry.directory ? target : target.parent_path();
    fs::create_directories(directory);
    // The folder the entry lands in must still be inside the destination once symbolic links on
    // disk are resolved.
    if (!isInsideFolder(fs::canonical(folder), fs::canonical(directory)))
        throw UnsafeArchive("条目路径不安全：" + entry.name);
    if (entry.directory)
        return;

    std::error_code ec;
    const auto status = fs::symlink_status(target, ec);
    if (fs::is_directory(status))
        throw KxError("EZipError", "无法写入 " + utf8FromPath(target));
    if (fs::exists(status))
        fs::remove(target); // replaces a file and never writes through a link

    zip_file_t* file = zip_fopen_index(zip_, entry.index, 0);
    if (!file)
        throw KxError("EZipError", "无法读取条目 " + entry.name);
    std::ofstream out(target, std::ios::binary | std::ios::trunc);
    bool ok = static_cast<bool>(out);
    std::string unsafe;
    std::uint64_t written = 0;
    char buffer[65536];
    while (ok) {
        const zip_int64_t n = zip_fread(file, buffer, sizeof buffer);
        if (n < 0)
            ok = false;
        if (n <= 0)
            break;
        // Sizes are checked as written, not only as claimed: a forged header must not get past.
        written += static_cast<std::uint64_t>(n);
        if (written > entry.size) {
            unsafe = "条目 " + entry.name + " 的实际大小超过声明的大小";
            break;
        }
        if (written > budget.bytes) {
            unsafe = bytesCapText();
            break;
        }
        out.write(buffer, n);
        ok = static_cast<bool>(out);
    }
    zip_fclose(file);
    out.close();
    budget.bytes -= std::min(written, budget.bytes);
    if (!unsafe.empty() || !ok || !out) {
        fs::remove(target, ec);
        if (!unsafe.empty())
            throw UnsafeArchive(unsafe);
        throw KxError("EZipError", "条目 " + entry.name + " 解压失败");
    }
}

UnpackResult unpackPackage(const std::string& zipFile, const std::string& destination, UnpackBudget& budget)
{
    UnpackResult result;
    try {
        ZipArchive archive(zipFile);
        for (const ZipEntry& e : archive.entries())
            if (e.symlink || !safeEntryPath(e.name))
                throw UnsafeArchive("条目路径不安全：" + e.name);
        archive.checkClaims(budget);
        for (const ZipEntry& e : archive.entries())
            archive.extract(e, pathFromUtf8(destination), budget);
        result.ok = true;
    } catch (const UnsafeArchive& e) {
        result.unsafe = true;
        result.why = e.what();
    } catch (const std::exception& e) {
        result.why = e.what();
    }
    return result;
}

} // namespace kx
