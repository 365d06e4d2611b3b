#include "EndpointTable.h"

#include "Appctrl.h"
#include "Heart.h"
#include "update/Update.h"

#include <memory>

namespace kx {

void registerEndpoints(http::HttpService& service)
{
    // The order of this table is the order in which paths are registered.
    service.registerComponent("/heart", std::make_unique<THeart>());
    service.registerComponent("/update", std::make_unique<TUpdate>());
    // "/print"
    // "/upload"
    // "/ca"
    // "/pos"
    // "/pd"
    // "/preview"
    // "/NontaxAgencyActuator"
    // "/camera"
    // "/sign"
    service.registerComponent("/appctrl", std::make_unique<TAppctrl>());
    // "/smart-card"
}

} // namespace kx
