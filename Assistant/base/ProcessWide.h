#pragma once
// One object of a type for the whole process, made when first asked for; tests may drop it so that
// the next use makes a fresh one. Not for objects that several threads make or drop at once.
#include <memory>

namespace kx {

template <typename T>
std::unique_ptr<T>& processWideSlot()
{
    static std::unique_ptr<T> slot;
    return slot;
}

template <typename T>
T& processWide()
{
    auto& slot = processWideSlot<T>();
    if (!slot)
        slot = std::make_unique<T>();
    return *slot;
}

template <typename T>
void resetProcessWide()
{
    processWideSlot<T>().reset();
}

} // namespace kx
