// Base64 of request documents and agency parameters. Properties: decoding gives valid UTF-8,
// encoding then decoding gives valid UTF-8 text back unchanged; agency parameters are the decoded
// text less its CR LF pairs.
#include "FuzzInput.h"

#include "bridge/Base64Text.h"
#include "common/TextCodec.h"

using namespace kx;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string input(reinterpret_cast<const char*>(data), size);
    const std::string decoded = decodeBase64Text(input);
    KX_FUZZ_CHECK(isValidUtf8(decoded));
    const std::string agency = decodeAgencyParams(input);
    std::string withoutPairs;
    for (std::size_t i = 0; i < decoded.size(); ++i) {
        if (decoded.compare(i, 2, "\r\n") == 0)
            ++i;
        else
            withoutPairs += decoded[i];
    }
    KX_FUZZ_CHECK(agency == withoutPairs);

    const std::string text = utf16ToUtf8(utf8ToUtf16(input));
    const std::string encoded = encodeBase64Text(text);
    KX_FUZZ_CHECK(encoded.size() % 4 == 0);
    KX_FUZZ_CHECK(decodeBase64Text(encoded) == text);
    return 0;
}
