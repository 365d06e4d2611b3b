#include "common/IntervalFilter.h"

#include "common/TextCodec.h"

namespace kx {

IntervalKeyVerdict filterIntervalKey(std::string_view wouldBe, char32_t key)
{
    if (key == kBackspace)
        return {true, false, ""};
    if (key < U'0' || key > U'9')
        return {false, false, "*请输入数字"};

    const std::size_t length = utf8Length(wouldBe);
    if (length == 1) {
        if (key == U'0')
            return {false, false, "*请输入大于0的数"};
        return {true, false, ""};
    }
    if (wouldBe.front() == '0')
        return {true, true, "*不能以0开头"}; // the digit then stands alone in the box
    if (length >= 3)
        return {false, false, ""};
    // Two characters: the other one may have been pasted in, so check both are digits.
    const char a = wouldBe[0];
    const char b = wouldBe[1];
    if (a < '0' || a > '9' || b < '0' || b > '9')
        return {false, false, "*请输入数字"};
    if ((a - '0') * 10 + (b - '0') > 24)
        return {false, false, "*超过一天时间"};
    return {true, false, ""};
}

} // namespace kx
