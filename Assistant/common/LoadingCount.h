#pragma once
// The loading counter of the main window: the number of open loading requests (window messages
// WM_LOADING_SHOW and WM_LOADING_HIDE). The overlay appears with the first open request and goes
// with the last; surplus hides leave the count at 0. Main thread only; the window that shows the
// overlay holds the count.
#include <cstdint>

namespace kx {

// A loading request begins. True when it is the first open one (the overlay must appear).
bool openLoadingRequest(std::int32_t& count);
// A loading request ends. True when none is left open (the overlay must go); the count never
// stays below 0.
bool closeLoadingRequest(std::int32_t& count);

} // namespace kx
