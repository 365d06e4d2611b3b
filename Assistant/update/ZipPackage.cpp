#include "update/ZipPackage.h"

#include "common/Errors.h"

#include <zip.h>

#include <cctype>
#include <fstream>
#include <sys/stat.h>

namespace kx {
namespace fs = std::filesystem;

std::optional<fs::path> safeEntryPath(const std::string& entryName)
{
    std::string name = entryName;
    for (char& c : name)
        if (c == '\\')
            c = '/';
    if (name.empty() || name[0] == '/')
        return std::nullopt;
    if (name.size() >= 2 && name[1] == ':' && std::isalpha(static_cast<unsigned char>(name[0])))
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
            result /= part;
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
        throw KxError("EZipError", "Cannot open the archive " + path);
    const zip_int64_t count = zip_get_num_entries(zip_, 0);
    for (zip_int64_t i = 0; i < count; ++i) {
        const char* name = zip_get_name(zip_, static_cast<zip_uint64_t>(i), ZIP_FL_ENC_GUESS);
        if (!name) {
            zip_close(zip_);
            throw KxError("EZipError", "Cannot read the archive " + path);
        }
        ZipEntry e;
        e.index = static_cast<std::uint64_t>(i);
        e.name = name;
        e.directory = !e.name.empty() && (e.name.back() == '/' || e.name.back() == '\\');
        zip_uint8_t opsys = 0;
        zip_uint32_t attributes = 0;
        if (zip_file_get_external_attributes(zip_, e.index, 0, &opsys, &attributes) == 0 &&
            opsys == ZIP_OPSYS_UNIX)
            e.symlink = ((attributes >> 16) & S_IFMT) == S_IFLNK;
        entries_.push_back(std::move(e));
    }
}

ZipArchive::~ZipArchive()
{
    if (zip_)
        zip_discard(zip_);
}

void ZipArchive::extract(const ZipEntry& entry, const fs::path& folder) const
{
    const auto relative = safeEntryPath(entry.name);
    if (!relative || entry.symlink)
        throw KxError("EZipError", "Refused archive entry " + entry.name);
    const fs::path target = folder / *relative;
    const fs::path directory = entry.directory ? target : target.parent_path();
    fs::create_directories(directory);
    // The folder the entry lands in must still be inside the destination once symbolic links on
    // disk are resolved.
    if (!isInsideFolder(fs::canonical(folder), fs::canonical(directory)))
        throw KxError("EZipError", "Refused archive entry " + entry.name);
    if (entry.directory)
        return;

    std::error_code ec;
    const auto status = fs::symlink_status(target, ec);
    if (fs::is_directory(status))
        throw KxError("EZipError", "Cannot write " + target.string());
    if (fs::exists(status))
        fs::remove(target); // replaces a file and never writes through a link

    zip_file_t* file = zip_fopen_index(zip_, entry.index, 0);
    if (!file)
        throw KxError("EZipError", "Cannot read archive entry " + entry.name);
    std::ofstream out(target, std::ios::binary | std::ios::trunc);
    bool ok = static_cast<bool>(out);
    char buffer[65536];
    while (ok) {
        const zip_int64_t n = zip_fread(file, buffer, sizeof buffer);
        if (n < 0)
            ok = false;
        if (n <= 0)
            break;
        out.write(buffer, n);
        ok = static_cast<bool>(out);
    }
    zip_fclose(file);
    out.close();
    if (!ok || !out)
        throw KxError("EZipError", "Cannot extract archive entry " + entry.name);
}

bool unpackPackage(const std::string& zipFile, const std::string& destination)
{
    try {
        ZipArchive archive(zipFile);
        for (const ZipEntry& e : archive.entries())
            if (e.symlink || !safeEntryPath(e.name))
                return false;
        for (const ZipEntry& e : archive.entries())
            archive.extract(e, destination);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

} // namespace kx
