#pragma once
// A module function's result text: UTF-8 text, or the UTF-16 text a C-form module left in its
// result buffer. A buffered result keeps its buffer alive (shared) until the last holder lets go,
// so a reply can be written straight from the buffer without a copy of the whole text.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace kx {

class ModuleResult {
public:
    ModuleResult() = default;
    explicit ModuleResult(std::string text) : text_(std::move(text)) {}
    // `units` lies inside the block that `owner` keeps alive.
    ModuleResult(std::shared_ptr<const void> owner, std::u16string_view units)
        : owner_(std::move(owner)), units_(units)
    {
    }

    bool buffered() const { return owner_ != nullptr; }
    // The buffered UTF-16 text (empty for a text result).
    std::u16string_view units() const { return units_; }
    // The UTF-8 text of a text result (empty for a buffered one).
    const std::string& text() const { return text_; }

    // The result as UTF-8 (unpaired surrogates become U+FFFD).
    std::string toUtf8() const&;
    std::string toUtf8() &&;
    // Empty, or made of blanks and control characters only.
    bool blank() const;
    // The byte size of the UTF-8 form, and that form handed to `write` in pieces (false when
    // `write` gave up).
    std::uint64_t utf8Size() const;
    bool writeUtf8(const std::function<bool(std::string_view)>& write) const;

private:
    std::string text_;
    std::shared_ptr<const void> owner_;
    std::u16string_view units_;
};

} // namespace kx
