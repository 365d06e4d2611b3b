#pragma once
// The decoded parameters of a request: name=value entries in arrival order. They are stored in one
// block (each entry is its length and its "name=value" bytes), so a body of millions of tiny
// entries costs about its own size again, not tens of bytes per entry.
#include <cstddef>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kx::http {

class RequestParameters {
public:
    using Pairs = std::vector<std::pair<std::string, std::string>>;

    RequestParameters() = default;
    // Names hold no "=" (std::invalid_argument otherwise).
    RequestParameters(std::initializer_list<std::pair<std::string, std::string>> entries);
    RequestParameters(const Pairs& entries);

    // Room for entries of this many bytes in all.
    void reserve(std::size_t bytes);
    // Appends one entry: writePiece(buffer) appends the entry's decoded "name=value" bytes to buffer
    // (and nothing else); they are split at the first "=", and a piece without "=" is a name with an
    // empty value. The piece is written in place, with no copy of its own.
    template <typename Writer>
    void appendPiece(Writer&& writePiece)
    {
        bytes_.push_back('\0');
        const std::size_t start = bytes_.size();
        writePiece(bytes_);
        finishPiece(start);
    }
    // Appends name=value; the name holds no "=" (std::invalid_argument otherwise).
    void append(std::string_view name, std::string_view value);

    // The value of the first entry with this name, compared without case (ASCII letters);
    // nullopt when there is none. The view lives as long as this object is not changed.
    std::optional<std::string_view> find(std::string_view name) const;
    std::size_t size() const { return count_; }
    bool empty() const { return count_ == 0; }
    // Every entry as name and value, in order.
    Pairs pairs() const;

    bool operator==(const RequestParameters& other) const = default;

private:
    void finishPiece(std::size_t start);

    std::string bytes_; // per entry: its length (LEB128), then "name=value" or a bare name
    std::size_t count_ = 0;
};

} // namespace kx::http
