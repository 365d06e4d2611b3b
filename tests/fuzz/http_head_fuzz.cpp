// The request head and body as the service reads them: Beast's request parser with the service's
// limits, fed in two pieces (the split point comes from the input), then the request the web
// components see (method, decoded path, headers, parameters) built from the parsed message by
// the service's own routine.
#include "FuzzInput.h"

#include "common/TextCodec.h"
#include "http/WireRequest.h"

#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

namespace bhttp = boost::beast::http;
using namespace kx;
using namespace kx::http;

namespace {

// Feeds the parser as stream reads would: bytes it has not used yet wait for the next read.
// False on a parse error.
bool feed(bhttp::request_parser<bhttp::string_body>& parser, std::string& unused, std::string_view more)
{
    unused += more;
    while (!unused.empty() && !parser.is_done()) {
        boost::system::error_code ec;
        const std::size_t used = parser.put(boost::asio::buffer(unused.data(), unused.size()), ec);
        unused.erase(0, used);
        if (ec == bhttp::error::need_more)
            return true;
        if (ec)
            return false;
        if (used == 0)
            return true;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
    const std::size_t split = std::min<std::size_t>(data[0] * 4, input.size());

    bhttp::request_parser<bhttp::string_body> parser;
    parser.header_limit(8u * 1024 * 1024);
    parser.body_limit(1u << 20);
    std::string unused;
    if (!feed(parser, unused, input.substr(0, split)))
        return 0;
    if (!parser.is_done() && !feed(parser, unused, input.substr(split)))
        return 0;
    if (!parser.is_done())
        return 0;

    HttpRequest request = requestFromWire(parser.release());

    KX_FUZZ_CHECK(isValidUtf8(request.path));
    (void)request.param("jsonp");
    (void)request.header("Connection");
    return 0;
}
