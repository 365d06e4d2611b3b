// The balloon's text: cut to 255 UTF-16 units, never inside a character.
#include "common/TextCodec.h"
#include "common/TrayMenu.h"

#include <gtest/gtest.h>

#include <string>

using namespace kx;

namespace {

std::string repeat(const std::string& unit, int times)
{
    std::string out;
    for (int i = 0; i < times; ++i)
        out += unit;
    return out;
}

} // namespace

TEST(BalloonText, CutsToTheBalloonsLengthWithoutSplittingACharacter)
{
    const std::string emoji = "\xF0\x9F\x98\x80"; // one character, two UTF-16 units
    struct Case {
        const char* name;
        std::string message;
        std::string shown;
    } cases[] = {
        {"short text stays whole", "客户端成功启动", "客户端成功启动"},
        {"exactly 255 units stay whole", repeat("a", 255), repeat("a", 255)},
        {"ASCII is cut at 255", repeat("a", 300), repeat("a", 255)},
        {"Chinese is cut at 255 characters", repeat("中", 300), repeat("中", 255)},
        {"a pair across the cut goes whole", repeat("a", 254) + emoji + "b", repeat("a", 254)},
        {"a pair before the cut stays", repeat("a", 253) + emoji + "bc", repeat("a", 253) + emoji},
    };
    for (const Case& c : cases) {
        const std::string shown = balloonText(c.message);
        EXPECT_EQ(shown, c.shown) << c.name;
        EXPECT_LE(utf8ToUtf16(shown).size(), kBalloonCharacters) << c.name;
    }
}
