#pragma once
#include "http/HttpService.h"

namespace kx {

// Registers every path of the local service with its web component, in table order.
void registerEndpoints(http::HttpService& service);

} // namespace kx
