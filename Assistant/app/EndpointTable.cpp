#include "app/EndpointTable.h"

#include "app/Appctrl.h"
#include "app/Heart.h"
#include "bridge/CA.h"
#include "bridge/KxCamera.h"
#include "bridge/KxRemoteActuator.h"
#include "bridge/PD.h"
#include "bridge/POS.h"
#include "bridge/PreviewImage.h"
#include "bridge/Print.h"
#include "bridge/Sign.h"
#include "bridge/SmartCard.h"
#include "bridge/Upload.h"
#include "update/Update.h"

#include <memory>

namespace kx {

void registerEndpoints(http::HttpService& service)
{
    // The order of this table is the order in which paths are registered.
    service.registerComponent("/heart", std::make_unique<THeart>());
    service.registerComponent("/update", std::make_unique<TUpdate>());
    service.registerComponent("/print", std::make_unique<TPrint>());
    service.registerComponent("/upload", std::make_unique<TUpload>());
    service.registerComponent("/ca", std::make_unique<TCA>());
    service.registerComponent("/pos", std::make_unique<TPOS>());
    service.registerComponent("/pd", std::make_unique<TPD>());
    service.registerComponent("/preview", std::make_unique<TPreviewImage>());
    service.registerComponent("/NontaxAgencyActuator", std::make_unique<TKxRemoteActuator>());
    service.registerComponent("/camera", std::make_unique<TKxCamera>());
    service.registerComponent("/sign", std::make_unique<TSign>());
    service.registerComponent("/appctrl", std::make_unique<TAppctrl>());
    service.registerComponent("/smart-card", std::make_unique<TSmartCard>());
}

} // namespace kx
