#include "common/AtomicFile.h"

#include "common/Errors.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>

namespace kx {

void writeFileAtomically(const std::string& path, std::string_view bytes)
{
    namespace fs = std::filesystem;
    const fs::path target(path);
    // A name unlikely to collide with another writer of the same folder.
    std::random_device rd;
    const fs::path temp = target.parent_path() /
                          ("." + target.filename().string() + ".tmp" + std::to_string(rd()));
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        if (!out)
            throw KxError("EFCreateError", "Cannot create file \"" + path + "\". " + std::strerror(errno));
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        out.flush();
        if (!out) {
            std::error_code ec;
            fs::remove(temp, ec);
            throw KxError("EWriteError", "Cannot write to file \"" + path + "\"");
        }
    }
    std::error_code ec;
    fs::rename(temp, target, ec);
    if (ec) {
        std::error_code ignored;
        fs::remove(temp, ignored);
        throw KxError("EFCreateError", "Cannot create file \"" + path + "\". " + ec.message());
    }
}

} // namespace kx
