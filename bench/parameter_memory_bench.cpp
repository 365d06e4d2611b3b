// Peak resident memory of the HTTP service while it decodes a large url-encoded form body.
// Starts the service in this process with "/heart", posts a body of "a=1&" repeated (or one huge
// "payload=QQQ..." entry) with curl from a file, and prints the process's peak resident set
// (VmHWM) before and after the request, and the growth as a multiple of the body.
// Usage: parameter_memory_bench [MiB] [tiny|huge]   (default: 250 tiny)
#include "app/Heart.h"
#include "http/HttpService.h"
#include "ProcStatus.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <unistd.h>

int main(int argc, char** argv)
{
    const std::size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 250;
    const std::string kind = argc > 2 ? argv[2] : "tiny";
    const std::size_t size = mib << 20;

    char folder[] = "/tmp/kx-parambench-XXXXXX";
    if (!::mkdtemp(folder))
        return 1;
    const std::string bodyFile = std::string(folder) + "/body";
    {
        std::ofstream out(bodyFile, std::ios::binary);
        // Written in blocks, so the body never sits in this process's memory.
        const std::string block = [&] {
            std::string b;
            for (int i = 0; i < 16384; ++i)
                b += kind == "huge" ? "QQQQ" : "a=1&";
            return b;
        }();
        if (kind == "huge")
            out << "payload=";
        for (std::size_t written = kind == "huge" ? 8 : 0; written < size; written += block.size())
            out.write(block.data(), static_cast<std::streamsize>(std::min(block.size(), size - written)));
    }

    kx::http::HttpService service;
    service.registerComponent("/heart", std::make_unique<kx::THeart>());
    kx::http::ServiceLimits limits;
    limits.maxBodyBytes = size + 1024;
    service.setLimits(limits);
    service.start("127.0.0.1", "0");

    const long before = statusKb("VmHWM:");
    const std::string command = "curl -s -o /dev/null -w '%{http_code}' -H 'Content-Type: application/x-www-form-urlencoded' "
                                "--data-binary @" + bodyFile + " http://127.0.0.1:" +
                                std::to_string(service.boundPort()) + "/heart?jsonp=cb";
    std::cout << "body: " << mib << " MiB (" << kind << "), status ";
    std::cout.flush();
    const int rc = std::system(command.c_str());
    std::cout << "\n";
    service.stop();
    const long after = statusKb("VmHWM:");
    std::remove(bodyFile.c_str());
    ::rmdir(folder);

    std::printf("peak RSS before the request: %ld MiB\n", before / 1024);
    std::printf("peak RSS after the request:  %ld MiB\n", after / 1024);
    std::printf("growth: %ld MiB = %.2f x the body\n", (after - before) / 1024,
                static_cast<double>(after - before) * 1024 / static_cast<double>(size));
    return rc == 0 ? 0 : 1;
}
