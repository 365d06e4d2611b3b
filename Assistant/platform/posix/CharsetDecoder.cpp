#include "platform/CharsetDecoder.h"

#include <cerrno>
#include <iconv.h>

namespace kx::platform {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

class IconvDecoder final : public CharsetDecoder {
public:
    explicit IconvDecoder(iconv_t cd) : cd_(cd) {}
    ~IconvDecoder() override { iconv_close(cd_); }
    IconvDecoder(const IconvDecoder&) = delete;
    IconvDecoder& operator=(const IconvDecoder&) = delete;

    // glibc passes on sequences beyond U+10FFFF (the old 31-bit form of UTF-8) as they are; the
    // caller repairs them.
    void decode(std::string_view bytes, std::string& out) override
    {
        iconv(cd_, nullptr, nullptr, nullptr, nullptr); // back to the initial shift state
        char* in = const_cast<char*>(bytes.data());
        std::size_t inLeft = bytes.size();
        while (true) {
            // Room for the likely worst case of what is left (4 UTF-8 bytes per input byte);
            // iconv says E2BIG when it falls short and the loop makes more.
            const std::size_t used = out.size();
            const std::size_t room = inLeft * 4 + 16;
            out.resize(used + room);
            char* dst = out.data() + used;
            std::size_t dstLeft = room;
            const std::size_t rc = iconv(cd_, &in, &inLeft, &dst, &dstLeft);
            const int err = errno;
            out.resize(used + (room - dstLeft));
            if (rc != static_cast<std::size_t>(-1) || err == EINVAL) {
                // All converted, or a sequence cut off at the end.
                if (rc == static_cast<std::size_t>(-1))
                    out += kReplacement;
                return;
            }
            if (inLeft == 0)
                return;
            if (err != E2BIG) {
                // An invalid sequence: U+FFFD, and decoding goes on after its first byte.
                out += kReplacement;
                ++in;
                --inLeft;
            }
        }
    }

    iconv_t cd_;
};

} // namespace

std::unique_ptr<CharsetDecoder> openCharsetDecoder(std::string_view charset)
{
    if (charset.empty() || charset.find('/') != std::string_view::npos)
        return nullptr; // glibc would read "//" suffixes as conversion options
    const iconv_t cd = iconv_open("UTF-8", std::string(charset).c_str());
    if (cd == reinterpret_cast<iconv_t>(-1))
        return nullptr;
    return std::make_unique<IconvDecoder>(cd);
}

} // namespace kx::platform
