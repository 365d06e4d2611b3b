// The caller gate in front of dispatch: the Host check, trusted.sites and its log lines.
#include "http/CallerGate.h"
#include "http/Dispatcher.h"

#include "app/Heart.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <optional>
#include <thread>

using namespace kx;
using namespace kx::http;

namespace {

using Headers = std::vector<std::pair<std::string, std::string>>;

// Counts the requests that reach it, so a refusal can be seen to run no component.
class Counting : public PostComponent {
public:
    std::atomic<int>* calls;
    explicit Counting(std::atomic<int>* c) : calls(c) {}
    std::string className() const override { return "TCounting"; }
    void OnPost(HttpRequest&, HttpResponse& r) override
    {
        ++*calls;
        r.setBody("ran");
    }
};

struct Gated {
    Dispatcher d;
    std::atomic<int> calls{0};
    std::mutex mutex;
    std::vector<std::string> lines;

    explicit Gated(const std::string& trustedSites = "", bool setGate = true)
    {
        d.add("/heart", std::make_unique<THeart>());
        d.add("/update", std::make_unique<Counting>(&calls));
        if (setGate)
            d.setGate(std::make_shared<CallerGate>(TrustedSites::parse(trustedSites), [this](const std::string& line) {
                std::lock_guard lock(mutex);
                lines.push_back(line);
            }));
    }
    HttpResponse run(const Headers& headers, const std::string& path = "/heart", bool* close = nullptr)
    {
        HttpRequest req;
        req.method = "GET";
        req.path = path;
        req.headers = headers;
        HttpResponse res;
        bool c = false;
        d.dispatch(req, res, c);
        if (close)
            *close = c;
        return res;
    }
};

const std::string kForbiddenReply = "<HTML><BODY><B>403 Forbidden</B></BODY></HTML>";

} // namespace

TEST(CallerGate, HostMustBeAnAddressOrALocalhostName)
{
    struct Case {
        std::optional<std::string> host; // nullopt: no Host header at all
        bool served;
    };
    const Case cases[] = {
        {std::nullopt, true},
        {"", true},
        {"127.0.0.1", true},
        {"127.0.0.1:13526", true},
        {"192.168.10.7:80", true},
        {"[::1]", true},
        {"[::1]:13526", true},
        {"[::ffff:127.0.0.1]:8080", true},
        {"localhost", true},
        {"LocalHost:13526", true},
        {"app.localhost", true},
        {"a.b.LOCALHOST:1", true},
        {"evil.example", false},
        {"evil.example:13526", false},
        {"localhost.evil.example", false},
        {"evillocalhost", false},
        {".evil.example", false},
        {"127.0.0.1.nip.io:13526", false},
        {"7f000001.rbndr.us", false},
        {"256.0.0.1", false},
        {"127.0.1", false},
        {"127.0.0.1:", false},
        {"127.0.0.1:port", false},
        {"127.0.0.1:123456", false},
        {"127.0.0.1:13526:1", false},
        {"::1", false},
        {"[::1", false},
        {"[evil.example]", false},
        {"[::1]evil", false},
    };
    for (const Case& c : cases) {
        Gated g;
        Headers headers;
        if (c.host)
            headers.emplace_back("Host", *c.host);
        bool close = false;
        HttpResponse r = g.run(headers, "/heart", &close);
        const std::string label = c.host ? "Host: " + *c.host : "no Host";
        if (c.served) {
            EXPECT_EQ(r.status, 200) << label;
            EXPECT_EQ(r.body, "(0)") << label;
            EXPECT_FALSE(close) << label;
        } else {
            EXPECT_EQ(r.status, 403) << label;
            EXPECT_FALSE(r.bodySet) << label;
            EXPECT_EQ(buildReply(r, "GET", false, 0).body, kForbiddenReply) << label;
            EXPECT_TRUE(close) << label;
        }
    }
}

TEST(CallerGate, HostIsCheckedWithoutAnyConfigurationAndBeforeThePathIsLookedAt)
{
    Gated g("", /*setGate=*/false); // the dispatcher's own gate
    EXPECT_EQ(g.run({{"Host", "evil.example"}}, "/update").status, 403);
    EXPECT_EQ(g.run({{"host", "evil.example:13526"}}, "/no-such-path").status, 403);
    // A second Host field cannot slip a name past the first.
    EXPECT_EQ(g.run({{"Host", "127.0.0.1"}, {"Host", "evil.example"}}).status, 403);
    EXPECT_EQ(g.calls, 0);
    EXPECT_EQ(g.run({{"Host", "127.0.0.1:13526"}}, "/update").body, "ran");
    EXPECT_EQ(g.run({{"Host", "127.0.0.1"}}, "/no-such-path").status, 404);
}

TEST(CallerGate, TrustedSitesDecideByOriginThenRefererThenSecFetchSite)
{
    const std::string sites = " https://app.example.com ;; https://*.corp.example:8443; http://localhost:3000/;https://[::1] ;";
    struct Case {
        Headers headers;
        bool served;
    };
    const Case cases[] = {
        // Local programs send none of these headers.
        {{}, true},
        {{{"Host", "127.0.0.1:13526"}, {"User-Agent", "curl/8"}}, true},
        // Origin, exact and by default port, without letter case.
        {{{"Origin", "https://app.example.com"}}, true},
        {{{"Origin", "HTTPS://App.Example.COM"}}, true},
        {{{"Origin", "https://app.example.com:443"}}, true},
        {{{"Origin", "https://app.example.com:8443"}}, false},
        {{{"Origin", "http://app.example.com"}}, false},
        {{{"Origin", "https://app.example.com.evil.example"}}, false},
        {{{"Origin", "https://sub.app.example.com"}}, false},
        {{{"Origin", "http://localhost:3000"}}, true},
        {{{"Origin", "http://localhost"}}, false},
        {{{"Origin", "https://[::1]:443"}}, true},
        // Wildcard: any depth of subdomain, never the bare domain, the port still counts.
        {{{"Origin", "https://a.corp.example:8443"}}, true},
        {{{"Origin", "https://x.y.corp.example:8443"}}, true},
        {{{"Origin", "https://corp.example:8443"}}, false},
        {{{"Origin", "https://evilcorp.example:8443"}}, false},
        {{{"Origin", "https://a.corp.example"}}, false},
        // "null" and anything that is not an origin are never listed.
        {{{"Origin", "null"}}, false},
        {{{"Origin", ""}}, false},
        {{{"Origin", "https://app.example.com/"}}, false},
        {{{"Origin", "https://app.example.com"}, {"Origin", "https://app.example.com"}}, false},
        // Origin decides alone when present.
        {{{"Origin", "https://evil.example"}, {"Referer", "https://app.example.com/"}}, false},
        {{{"Origin", "https://app.example.com"}, {"Referer", "https://evil.example/"}, {"Sec-Fetch-Site", "cross-site"}}, true},
        // No Origin: the Referer's origin.
        {{{"Referer", "https://app.example.com/bills/list?id=7#top"}}, true},
        {{{"Referer", "https://app.example.com"}}, true},
        {{{"Referer", "https://user:pw@app.example.com:443/"}}, true},
        {{{"Referer", "https://a.corp.example:8443/x"}, {"Sec-Fetch-Site", "cross-site"}}, true},
        {{{"Referer", "https://evil.example/https://app.example.com/"}}, false},
        {{{"Referer", "https://app.example.com@evil.example/"}}, false},
        {{{"Referer", "not a url"}}, false},
        {{{"Referer", "https://evil.example/"}, {"Sec-Fetch-Site", "none"}}, false},
        // Neither: a cross-site fetch that stripped its Referer.
        {{{"Sec-Fetch-Site", "cross-site"}}, false},
        {{{"Sec-Fetch-Site", "same-site"}}, false},
        {{{"Sec-Fetch-Site", "same-origin"}}, true},
        {{{"Sec-Fetch-Site", "none"}}, true},
        {{{"sec-fetch-site", "None"}}, true},
        // The Host check still comes first.
        {{{"Host", "evil.example"}, {"Origin", "https://app.example.com"}}, false},
    };
    Gated g(sites);
    for (const Case& c : cases) {
        std::string label;
        for (const auto& [n, v] : c.headers)
            label += n + ": " + v + " | ";
        const int before = g.calls;
        HttpResponse r = g.run(c.headers, "/update");
        EXPECT_EQ(r.status, c.served ? 200 : 403) << label;
        EXPECT_EQ(g.calls - before, c.served ? 1 : 0) << label;
    }
}

TEST(CallerGate, WithoutTrustedSitesEverySiteIsServed)
{
    for (const std::string& sites : {std::string(), std::string("  ; ;  ")}) {
        Gated g(sites);
        for (const Headers& headers : {Headers{{"Origin", "null"}}, Headers{{"Origin", "https://evil.example"}},
                                       Headers{{"Referer", "https://evil.example/"}},
                                       Headers{{"Sec-Fetch-Site", "cross-site"}}}) {
            EXPECT_EQ(g.run(headers).status, 200) << "[" << sites << "] " << headers.front().second;
        }
    }
}

TEST(CallerGate, TrustedSitesListIsParsedAndBadEntriesTrustNobody)
{
    std::vector<std::string> rejected;
    TrustedSites sites = TrustedSites::parse(
        "app.example.com; https://a.example.com/path ; https://*.; https://*; https://a:99999;"
        " https://x.*.example.com; ftp://files.example.com; HTTPS://Ok.Example.com:8443/",
        &rejected);
    EXPECT_TRUE(sites.restricts());
    EXPECT_EQ(rejected, (std::vector<std::string>{"app.example.com", "https://a.example.com/path", "https://*.",
                                                  "https://*", "https://a:99999", "https://x.*.example.com"}));
    ASSERT_EQ(sites.entries().size(), 2u);
    EXPECT_EQ(sites.entries()[0].text(), "ftp://files.example.com");
    EXPECT_EQ(sites.entries()[1].text(), "https://ok.example.com:8443");

    // A list whose every entry is unreadable refuses every page instead of serving all of them.
    Gated g("app.example.com");
    EXPECT_EQ(g.run({{"Origin", "https://app.example.com"}}).status, 403);
    EXPECT_EQ(g.run({}).status, 200);
}

TEST(CallerGate, OneLogLinePerRefusedHostOrSite)
{
    Gated g("https://app.example.com");
    for (int i = 0; i < 3; ++i) {
        g.run({{"Host", "rebind.example:13526"}});
        g.run({{"Host", "other.example"}});
        g.run({{"Origin", "https://evil.example"}});
        g.run({{"Referer", "https://evil.example/page" + std::to_string(i)}});
        g.run({{"Sec-Fetch-Site", "cross-site"}});
        g.run({{"Origin", "https://app.example.com"}});
    }
    ASSERT_EQ(g.lines.size(), 4u);
    EXPECT_NE(g.lines[0].find("rebind.example:13526"), std::string::npos) << g.lines[0];
    EXPECT_NE(g.lines[1].find("other.example"), std::string::npos) << g.lines[1];
    EXPECT_NE(g.lines[2].find("https://evil.example"), std::string::npos) << g.lines[2];
    EXPECT_NE(g.lines[3].find("cross-site"), std::string::npos) << g.lines[3];

    // Connection threads refusing the same host at once still write one line.
    Gated busy;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&busy] {
            for (int i = 0; i < 200; ++i)
                busy.run({{"Host", "rebind.example"}});
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(busy.lines.size(), 1u);

    // Invented names cannot grow the log without bound: one closing line after the first 256.
    Gated flood;
    for (int i = 0; i < 1000; ++i)
        flood.run({{"Host", "h" + std::to_string(i) + ".example"}});
    EXPECT_EQ(flood.lines.size(), 257u);
    // Control characters of a header never reach the log as they are.
    Gated odd;
    odd.run({{"Host", std::string("bad\x01\x1b[2Jname")}});
    ASSERT_EQ(odd.lines.size(), 1u);
    EXPECT_EQ(odd.lines[0].find('\x1b'), std::string::npos);
}
