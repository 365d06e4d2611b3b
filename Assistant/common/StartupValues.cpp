#include "common/StartupValues.h"

namespace kx {

StartupValues& mutableStartupValues()
{
    static StartupValues values;
    return values;
}

const StartupValues& startupValues()
{
    return mutableStartupValues();
}

} // namespace kx
