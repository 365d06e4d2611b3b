// Entry names of module packages. Property: a name that is accepted becomes a relative path
// without "..", which lies inside any destination folder it is joined to.
#include "FuzzInput.h"

#include "update/ZipPackage.h"

using namespace kx;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string name(reinterpret_cast<const char*>(data), size);
    const auto path = safeEntryPath(name);
    if (!path)
        return 0;
    KX_FUZZ_CHECK(!path->empty());
    KX_FUZZ_CHECK(path->is_relative() && !path->has_root_name() && !path->has_root_directory());
    for (const auto& part : *path)
        KX_FUZZ_CHECK(part != "..");
    const std::filesystem::path folder = "/opt/kestrix/upgrade";
    KX_FUZZ_CHECK(isInsideFolder(folder, folder / *path));
    KX_FUZZ_CHECK(isInsideFolder(folder, (folder / *path).lexically_normal()));
    return 0;
}
