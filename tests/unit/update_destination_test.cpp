// Update requests never reach the program's own service or its companion, whatever the spelling
// of the address, at storing time and again after resolution.
#include "update/UpdateDestination.h"
#include "update/UpdateLog.h"
#include "update/UpdateUrl.h"

#include "../common/LoopbackHttpServer.h"

#include <gtest/gtest.h>

using namespace kx;

namespace {

StartupValues serviceAt(const std::string& address, const std::string& port)
{
    StartupValues v;
    v.serviceAddress = address;
    v.servicePort = port;
    return v;
}

} // namespace

TEST(UpdateDestination, AddressesNamingTheServiceOrItsCompanionAreRefused)
{
    const StartupValues values = serviceAt("127.0.0.1", "13526");
    const struct {
        const char* url;
        bool refused;
    } cases[] = {
        {"http://127.0.0.1:13528/upgradeMainApp?fp=/any/file#/upgrade/app", true},
        {"http://127.0.0.1:13526/appctrl?cmd=1#/upgrade/app", true},
        {"http://localhost:13528/upgrade/app", true},
        {"http://LOCALHOST.:13528/upgrade/app", true},
        {"http://a.localhost:13526/upgrade/app", true},
        {"http://127.1.2.3:13528/upgrade/app", true},
        {"http://127.1:13528/upgrade/app", true},
        {"http://2130706433:13528/upgrade/app", true},
        {"http://0x7f000001:13528/upgrade/app", true},
        {"http://0177.0.0.1:13528/upgrade/app", true},
        {"http://0:13528/upgrade/app", true},
        {"http://0.0.0.0:13526/upgrade/app", true},
        {"http://[::1]:13528/upgrade/app", true},
        {"http://[::ffff:127.0.0.1]:13528/upgrade/app", true},
        {"http://[::]:13526/upgrade/app", true},
        {"http://user@127.0.0.1:13528/upgrade/app", true},
        // Other ports, other hosts, and addresses that are no web address are not this rule's.
        {"http://127.0.0.1:13527/upgrade/app", false},
        {"http://127.0.0.1:8080/upgrade/app", false},
        {"http://127.0.0.1/upgrade/app", false},
        {"http://updates.example.com:13528/upgrade/app", false},
        {"http://10.0.0.5:13526/upgrade/app", false},
        {"gopher://127.0.0.1:13528/upgrade/app", false},
        {"not an address", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(!ownServiceAddressProblem(c.url, values).empty(), c.refused) << c.url;

    // A service bound to a network address is its own destination too, by that address.
    const StartupValues lan = serviceAt("192.168.1.20", "9000");
    EXPECT_FALSE(ownServiceAddressProblem("http://192.168.1.20:9002/upgrade/app", lan).empty());
    EXPECT_TRUE(ownServiceAddressProblem("http://192.168.1.21:9002/upgrade/app", lan).empty());
}

TEST(UpdateDestination, ARequestToTheCompanionPortIsRefusedBeforeAByteIsSent)
{
    // The companion stand-in listens on the service port + 2; any name that resolves to it is
    // refused once connected, and the run log says why. Another port is served.
    kx::test::LoopbackHttpServer companion([](const kx::test::RecordedRequest&) { return kx::test::CannedReply{}; });
    StartupValues& values = mutableStartupValues();
    const StartupValues previous = values;
    values.serviceAddress = "127.0.0.1";
    values.servicePort = std::to_string(companion.port() - 2);
    std::vector<std::string> lines;
    const UpdateLogSink previousSink = setUpdateLogSink([&](const std::string& line) { lines.push_back(line); });

    for (const std::string host : {"127.0.0.1", "localhost"}) {
        http::RequestOptions options;
        refuseOwnServices(options);
        const http::ClientResult result = http::postForm(
            "http://" + host + ":" + std::to_string(companion.port()) + "/upgradeMainApp?fp=x", {}, options);
        EXPECT_FALSE(result.ok) << host;
        EXPECT_EQ(result.error, "destination refused") << host;
    }
    EXPECT_TRUE(companion.requests().empty());
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("已拒绝"), std::string::npos);

    values.servicePort = std::to_string(companion.port() + 5);
    http::RequestOptions options;
    refuseOwnServices(options);
    EXPECT_TRUE(http::postForm(companion.url("/upgrade/app"), {}, options).ok);
    EXPECT_EQ(companion.requests().size(), 1u);

    setUpdateLogSink(previousSink);
    values = previous;
}

TEST(UpdateDestination, UpdateEndpointRefusesToStoreSuchAnAddress)
{
    // /update answers "-1" and writes nothing, and the run log says why.
    StartupValues& values = mutableStartupValues();
    const StartupValues previous = values;
    values.serviceAddress = "127.0.0.1";
    values.servicePort = "13526";
    std::vector<std::string> lines;
    const UpdateLogSink previousSink = setUpdateLogSink([&](const std::string& line) { lines.push_back(line); });
    const std::string folder = "/nonexistent-kx-folder"; // a write there would raise
    EXPECT_EQ(storeUpdateUrl("http://127.0.0.1:13528/upgradeMainApp?fp=/any/file#", folder), "-1");
    EXPECT_EQ(storeUpdateUrl("http://[::1]:13526/appctrl?cmd=1#", folder), "-1");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("127.0.0.1:13528"), std::string::npos) << lines[0];
    setUpdateLogSink(previousSink);
    values = previous;
}
