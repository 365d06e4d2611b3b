#include "bridge/PreviewImage.h"

#include "common/Paths.h"
#include "common/StartupValues.h"

#include <filesystem>

namespace kx {

namespace fs = std::filesystem;

std::optional<std::string> previewFilePath(const std::string& programFolder, const std::string& name)
{
    if (name.empty() || name == "." || name == ".." || name.find_first_of("/\\") != std::string::npos ||
        name.find('\0') != std::string::npos)
        return std::nullopt;
    // The name goes into a reply header: control characters would break it.
    for (unsigned char c : name)
        if (c < 0x20 || c == 0x7F)
            return std::nullopt;
    const std::string folder = programPath(programFolder, "data\\img\\preview");
    const std::string path = folder + "/" + name;
    std::error_code ec;
    if (!fs::is_regular_file(pathFromUtf8(path), ec))
        return std::nullopt;
    const fs::path realFolder = fs::canonical(pathFromUtf8(folder), ec);
    if (ec)
        return std::nullopt;
    const fs::path realFile = fs::canonical(pathFromUtf8(path), ec);
    if (ec || realFile.parent_path() != realFolder)
        return std::nullopt;
    return path;
}

void TPreviewImage::Service(http::HttpRequest& request, http::HttpResponse& response)
{
    const std::string name = request.param("fn");
    const auto path = previewFilePath(startupValues().programFolder, name);
    if (!path)
        return;
    response.contentType = "image/png; charset=UTF-8";
    response.contentDisposition = "attachment; filename=" + name;
    response.serveFile(*path);
}

} // namespace kx
