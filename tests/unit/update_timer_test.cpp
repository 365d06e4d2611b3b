// The update timer's period from "application.upgrade.timer.interval".
#include "update/UpdateTimer.h"

#include "common/Errors.h"

#include <gtest/gtest.h>

using namespace kx;

TEST(UpdateTimerPeriod, HoursBecomeMilliseconds)
{
    EXPECT_EQ(updateTimerPeriod("12"), 43200000);
    EXPECT_EQ(updateTimerPeriod(""), 8 * 3600000); // empty counts as 8 hours
    EXPECT_EQ(updateTimerPeriod("8"), 28800000);
    EXPECT_EQ(updateTimerPeriod("0"), 0);          // no further automatic check
    EXPECT_EQ(updateTimerPeriod("596"), 596 * 3600000);
}

TEST(UpdateTimerPeriod, RefusesWhatIsNotAUsableWholeNumber)
{
    for (const char* text : {"abc", "1.5", "8h", " ", "-1", "597", "99999999999999999999"}) {
        try {
            updateTimerPeriod(text);
            ADD_FAILURE() << "accepted " << text;
        } catch (const KxError& e) {
            EXPECT_NE(std::string(e.what()).find(text), std::string::npos) << e.what();
        }
    }
}
