#include "common/Errors.h"

#include "platform/TypeName.h"

#include <typeinfo>

namespace kx {

std::string errorClassName(const std::exception& e)
{
    if (auto* kxe = dynamic_cast<const KxError*>(&e))
        return kxe->errorClass();
    return platform::readableTypeName(typeid(e));
}

} // namespace kx
