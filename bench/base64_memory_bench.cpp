// Peak resident memory of decoding a page's Base64 request document, as the business endpoints
// do with their "payload" parameter: the request holds the parameter, the endpoint decodes it.
// Prints the growth of the process's peak resident set (VmHWM) over the parameter's size.
// Usage: base64_memory_bench [MiB]   (default: 250)
#include "bridge/Base64Text.h"
#include "http/HttpRequest.h"
#include "ProcStatus.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

int main(int argc, char** argv)
{
    const std::size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 250;
    // A JSON document of plain ASCII, Base64-encoded: what a page sends for a large print job.
    std::string document = "{\"data\":\"";
    document.append(mib << 20, 'x');
    document += "\"}";
    kx::http::HttpRequest request;
    request.params.append("payload", kx::encodeBase64Text(document));
    document.clear();
    document.shrink_to_fit();
    const std::size_t encoded = request.param("payload").size();

    // The peak so far belongs to building the parameter: start counting afresh (Linux resets
    // VmHWM to the current resident set on "5").
    std::ofstream("/proc/self/clear_refs") << "5";
    const long rssBefore = statusKb("VmRSS:");
    const std::string decoded = kx::decodeBase64Text(request.paramView("payload"));
    const long after = statusKb("VmHWM:");
    std::printf("parameter: %.1f MiB Base64, decoded: %.1f MiB\n", encoded / 1048576.0, decoded.size() / 1048576.0);
    std::printf("resident before decoding: %.1f MiB; peak during decoding: +%.1f MiB = %.2f x the parameter\n",
                rssBefore / 1024.0, (after - rssBefore) / 1024.0,
                static_cast<double>(after - rssBefore) * 1024.0 / static_cast<double>(encoded));
    return decoded.empty() ? 1 : 0;
}
