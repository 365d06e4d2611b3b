#include "http/RequestParameters.h"

#include "base/Text.h"

#include <stdexcept>

namespace kx::http {
namespace {

std::string lengthBytes(std::size_t n)
{
    std::string out;
    do {
        char b = static_cast<char>(n & 0x7F);
        n >>= 7;
        if (n != 0)
            b = static_cast<char>(b | 0x80);
        out += b;
    } while (n != 0);
    return out;
}

// Calls f(name, value) for each entry until it returns true.
template <typename F>
void forEachEntry(std::string_view bytes, F&& f)
{
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        std::size_t len = 0;
        int shift = 0;
        unsigned char b;
        do {
            b = static_cast<unsigned char>(bytes[pos++]);
            len |= static_cast<std::size_t>(b & 0x7F) << shift;
            shift += 7;
        } while (b & 0x80);
        const std::string_view piece = bytes.substr(pos, len);
        pos += len;
        const auto eq = piece.find('=');
        const std::string_view name = piece.substr(0, eq);
        const std::string_view value = eq == std::string_view::npos ? std::string_view() : piece.substr(eq + 1);
        if (f(name, value))
            return;
    }
}

} // namespace

RequestParameters::RequestParameters(std::initializer_list<std::pair<std::string, std::string>> entries)
{
    for (const auto& [name, value] : entries)
        append(name, value);
}

RequestParameters::RequestParameters(const Pairs& entries)
{
    for (const auto& [name, value] : entries)
        append(name, value);
}

void RequestParameters::reserve(std::size_t bytes)
{
    bytes_.reserve(bytes);
}

void RequestParameters::finishPiece(std::size_t start)
{
    const std::size_t length = bytes_.size() - start;
    if (length < 0x80) {
        bytes_[start - 1] = static_cast<char>(length);
    } else {
        bytes_.replace(start - 1, 1, lengthBytes(length));
    }
    ++count_;
}

void RequestParameters::append(std::string_view name, std::string_view value)
{
    if (name.find('=') != std::string_view::npos)
        throw std::invalid_argument("a parameter name holds no \"=\"");
    appendPiece([&](std::string& out) {
        out += name;
        out += '=';
        out += value;
    });
}

std::optional<std::string_view> RequestParameters::find(std::string_view name) const
{
    std::optional<std::string_view> found;
    forEachEntry(bytes_, [&](std::string_view n, std::string_view v) {
        if (!base::equalsNoCase(n, name))
            return false;
        found = v;
        return true;
    });
    return found;
}

RequestParameters::Pairs RequestParameters::pairs() const
{
    Pairs out;
    out.reserve(count_);
    forEachEntry(bytes_, [&](std::string_view n, std::string_view v) {
        out.emplace_back(n, v);
        return false;
    });
    return out;
}

} // namespace kx::http
