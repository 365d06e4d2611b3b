#pragma once
#include "http/WebComponent.h"

#include <optional>
#include <string>

namespace kx {

// "/preview": sends the picture named by "fn" from data/img/preview/ as a download, whatever the
// request method. A missing file leaves the reply to the HTTP layer's default.
class TPreviewImage : public http::WebComponent {
public:
    std::string className() const override { return "TPreviewImage"; }
    void Service(http::HttpRequest& request, http::HttpResponse& response) override;
};

// The file a preview name stands for: a regular file directly inside the preview folder. A name
// that holds a path separator or a control character or is "." or "..", or that resolves (through links) outside the
// folder, stands for no file.
std::optional<std::string> previewFilePath(const std::string& programFolder, const std::string& name);

} // namespace kx
