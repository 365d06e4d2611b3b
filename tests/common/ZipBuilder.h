#pragma once
// Builds ZIP archives in memory or on disk for tests, with libzip.
#include <zip.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "TempPath.h"

namespace kx::test {

// File type bits of a symbolic link in the Unix mode a ZIP entry's external attributes carry.
inline constexpr zip_uint32_t kZipUnixSymlinkMode = 0120000;

struct ZipItem {
    std::string name;
    std::string content;
    bool symlink = false; // content is the link target
};

// Writes the archive to path. Names are stored exactly as given (also "../x" or "/abs").
inline void writeZip(const std::string& path, const std::vector<ZipItem>& items)
{
    int error = 0;
    zip_t* z = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    if (!z)
        throw std::runtime_error("zip_open failed for " + path);
    for (const ZipItem& item : items) {
        zip_source_t* src = zip_source_buffer(z, item.content.data(), item.content.size(), 0);
        const zip_int64_t idx = zip_file_add(z, item.name.c_str(), src, ZIP_FL_ENC_UTF_8 | ZIP_FL_OVERWRITE);
        if (idx < 0) {
            zip_source_free(src);
            zip_discard(z);
            throw std::runtime_error("zip_file_add failed for " + item.name);
        }
        if (item.symlink)
            zip_file_set_external_attributes(z, static_cast<zip_uint64_t>(idx), 0, ZIP_OPSYS_UNIX,
                                             (kZipUnixSymlinkMode | 0777u) << 16);
    }
    if (zip_close(z) != 0) {
        zip_discard(z);
        throw std::runtime_error("zip_close failed for " + path);
    }
}

// The archive's bytes.
inline std::string zipBytes(const std::vector<ZipItem>& items)
{
    const std::string path = makeTempFile("kx-zip-");
    writeZip(path, items);
    std::string bytes;
    {
        std::ifstream in(path, std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    std::remove(path.c_str());
    return bytes;
}

// The archive with the uncompressed size that every local and central header declares set to
// size, whatever the entries really hold (a forged header, as a hostile archive has).
inline std::string withDeclaredSize(std::string bytes, std::uint32_t size)
{
    auto put32 = [&](std::size_t at) {
        for (int i = 0; i < 4; ++i)
            bytes[at + i] = static_cast<char>((size >> (8 * i)) & 0xff);
    };
    for (std::size_t i = 0; i + 46 <= bytes.size(); ++i) {
        if (bytes.compare(i, 4, "PK\x03\x04") == 0)
            put32(i + 22);
        else if (bytes.compare(i, 4, "PK\x01\x02") == 0)
            put32(i + 24);
    }
    return bytes;
}

} // namespace kx::test
