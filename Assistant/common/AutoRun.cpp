#include "common/AutoRun.h"

#include "common/Errors.h"
#include "platform/AutoRunStore.h"

namespace kx {

int readAutoRun()
{
    const auto value = platform::readStoredValue("AutoRun");
    if (!value)
        throw KxError("ERegistryException", "Failed to get data for 'AutoRun'");
    if (value->type != platform::StoredType::Dword)
        throw KxError("ERegistryException", "Invalid data type for 'AutoRun'");
    return static_cast<int>(value->dword);
}

bool writeAutoRun(int value)
{
    return platform::writeStoredDword("AutoRun", static_cast<std::uint32_t>(value));
}

} // namespace kx
