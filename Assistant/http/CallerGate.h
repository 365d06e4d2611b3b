#pragma once
// The caller gate: decides, before any web component runs, whether a request may be served at all.
//
// Host check (always on): a request is served only when its Host header is absent (or empty) or names an
// IPv4 literal, a bracketed IPv6 literal, "localhost" or a name ending in ".localhost" (any port,
// letter case ignored). A page that reaches the loopback service through a DNS name of its own
// (DNS rebinding) therefore never gets an answer it could read.
//
// Trusted sites (opt-in, [HTTP] trusted.sites): origins "scheme://host[:port]" separated by ";".
// When the list is set, a request is refused when its Origin is present and not listed ("null" is
// never listed); or it has no Origin but a Referer whose origin is not listed; or it has neither and
// carries a Sec-Fetch-Site other than "same-origin" or "none". Requests without any of these
// headers (local programs) are served. Schemes and hosts compare without letter case; a missing
// port means 80 for http and 443 for https, on either side; "*.example.com" lists every subdomain of
// example.com but not example.com itself.
//
// Local programs only (a service that no web page may ever reach): every request that carries
// Origin, Referer or any Sec-Fetch-* header is refused as well, whatever the list says.
//
// A refused request is answered 403 with the default short HTML body, and the connection closes.
// The log sink receives one line per refused host or site for the life of the gate, or, when the
// gate logs every refusal, one line per refused request; either way at most 256 lines and then one
// closing line, so a flood cannot grow the log without bound.
#include "http/HttpRequest.h"
#include "http/HttpResponse.h"

#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace kx::http {

// One origin: a listed entry of trusted.sites, or the origin a request came from.
struct SiteOrigin {
    std::string scheme;        // lower case
    std::string host;          // lower case; IPv6 literals keep their brackets; without "*."
    bool anySubdomain = false; // the entry was written "*.host"
    int port = -1;             // explicit, else 80 (http) or 443 (https), else -1

    // Back to text: "scheme://host[:port]" (the port only when it is not the scheme's default).
    std::string text() const;
};

// "scheme://host[:port]" and nothing else (an Origin header); nullopt when malformed.
std::optional<SiteOrigin> parseOrigin(std::string_view text);
// The origin of an absolute URL (a Referer header); nullopt when it has none.
std::optional<SiteOrigin> originOfUrl(std::string_view url);
// True when the value of a Host header names a loopback-safe host (see above).
bool hostAllowed(std::string_view host);

class TrustedSites {
public:
    // The value of [HTTP] trusted.sites. Entries that are not "scheme://host[:port]" (one final
    // "/" is allowed) are skipped and handed back in rejected; a list that had any entry at all
    // stays set, so a mistyped list trusts nobody instead of everybody.
    static TrustedSites parse(std::string_view text, std::vector<std::string>* rejected = nullptr);

    // True when the list is set (the trusted-sites rules apply).
    bool restricts() const { return restricts_; }
    bool lists(const SiteOrigin& origin) const;
    const std::vector<SiteOrigin>& entries() const { return entries_; }

private:
    bool restricts_ = false;
    std::vector<SiteOrigin> entries_;
};

// Why a request is refused: the key names the host or site once per run; the message is the run
// log line for it.
struct Refusal {
    std::string key;
    std::string message;
};

struct CallerPolicy {
    bool localProgramsOnly = false;
    bool logEveryRefusal = false;
};

// The decision alone, without memory: nullopt when the request may be served.
std::optional<Refusal> judgeCaller(const HttpRequest& request, const TrustedSites& sites,
                                   const CallerPolicy& policy = {});

class CallerGate {
public:
    using LogSink = std::function<void(const std::string&)>;

    // The sink is called on connection threads; it must be safe to call from any thread.
    explicit CallerGate(TrustedSites sites = {}, LogSink log = {}, CallerPolicy policy = {});

    // True when the request may go on to dispatch. Otherwise the response holds the 403 reply.
    bool admit(const HttpRequest& request, HttpResponse& response);

    const TrustedSites& sites() const { return sites_; }

private:
    TrustedSites sites_;
    LogSink log_;
    CallerPolicy policy_;
    std::size_t loggedRequests_ = 0;
    std::mutex mutex_;
    std::unordered_set<std::string> logged_;
    bool logFull_ = false;
};

} // namespace kx::http
