#include "update/UpdateDestination.h"

#include "base/Text.h"
#include "update/UpdateLog.h"

#include <charconv>

namespace kx {

namespace {

bool isLoopbackOrUnspecified(std::string host)
{
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    for (char& c : host)
        c = base::lowerAscii(c);
    if (host.starts_with("::ffff:"))
        host = host.substr(7); // an IPv4 address mapped into IPv6
    if (host.ends_with("."))
        host.pop_back();
    return host.starts_with("127.") || host == "0.0.0.0" || host == "::1" || host == "::" ||
           host == "0:0:0:0:0:0:0:1" || host == "0:0:0:0:0:0:0:0" || host == "localhost" ||
           host.ends_with(".localhost");
}

bool isServicePort(unsigned port, const StartupValues& values)
{
    unsigned service = 0;
    const std::string& text = values.servicePort;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), service);
    if (ec != std::errc() || end != text.data() + text.size())
        return false;
    return port == service || port == service + 2;
}

bool isServiceHost(const std::string& host, const StartupValues& values)
{
    return isLoopbackOrUnspecified(host) || base::equalsNoCase(host, values.serviceAddress);
}

// The run-log line for a refused destination.
std::string refusalText(const std::string& host, unsigned port)
{
    return "更新地址指向本机客户端服务或其配套服务（" + host + ":" + std::to_string(port) + "），已拒绝";
}

} // namespace

bool isOwnServiceDestination(const std::string& ip, unsigned port, const StartupValues& values)
{
    return isServicePort(port, values) && isServiceHost(ip, values);
}

std::string ownServiceAddressProblem(const std::string& url, const StartupValues& values)
{
    const std::optional<http::UrlTarget> target = http::urlTarget(url);
    if (!target || !isOwnServiceDestination(target->host, target->port, values))
        return "";
    return refusalText(target->host, target->port);
}

void refuseOwnServices(http::RequestOptions& options)
{
    options.refuseDestination = [](const std::string& ip, unsigned port) {
        if (!isOwnServiceDestination(ip, port, startupValues()))
            return false;
        updateLog(refusalText(ip, port));
        return true;
    };
}

} // namespace kx
