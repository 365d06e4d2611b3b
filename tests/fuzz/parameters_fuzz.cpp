// Parameter decoding: the Content-Type value, the form body and the query string of a request.
// Properties: decoding body and query apart equals decoding the joined text; every name and value
// is valid UTF-8; a lookup by each entry's name finds the first entry of that name; decoded
// paths are valid UTF-8.
#include "FuzzInput.h"

#include "common/TextCodec.h"
#include "http/ParameterDecoder.h"

#include <cctype>

using namespace kx;
using namespace kx::http;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const auto parts = fuzz::splitInput(data, size, 3);
    const std::string& contentType = parts[0];
    const std::string& body = parts[1];
    const std::string& query = parts[2];

    const std::string charset = charsetOf(contentType);
    const ParameterText text = parameterText(contentType, body, query);
    const RequestParameters params = decodeParameters(text, charset);
    const RequestParameters joined = decodeParameters(text.joined(), charset);
    KX_FUZZ_CHECK(params == joined);

    const auto pairs = params.pairs();
    KX_FUZZ_CHECK(pairs.size() == params.size());
    for (std::size_t i = 0; i < pairs.size(); ++i) {
        const auto& [name, value] = pairs[i];
        KX_FUZZ_CHECK(isValidUtf8(name) && isValidUtf8(value));
        KX_FUZZ_CHECK(name.find('=') == std::string::npos);
        std::size_t first = 0;
        while (!fuzz::sameNoCase(pairs[first].first, name))
            ++first;
        KX_FUZZ_CHECK(params.find(name) == std::optional<std::string_view>(pairs[first].second));
        if (i > 64)
            break; // the lookup is linear; a few dozen entries show it
    }
    KX_FUZZ_CHECK(isValidUtf8(decodePath(query)));
    (void)mediaTypeOf(contentType);
    return 0;
}
