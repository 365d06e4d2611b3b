#include "http/CallerGate.h"

#include "base/Text.h"
#include "common/PrintSettings.h"

#include <algorithm>

namespace kx::http {
namespace {

// Distinct refused hosts and sites written to the run log; beyond that one closing line, so a
// flood of invented names cannot grow the log or the memory without bound.
constexpr std::size_t kMaxLoggedRefusals = 256;

std::string lower(std::string_view s)
{
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(), base::lowerAscii);
    return out;
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool isAlpha(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool isHex(char c)
{
    return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// ":" followed by 1 to 5 digits up to 65535, or nothing at all.
bool validPortSuffix(std::string_view s, int* port = nullptr)
{
    if (s.empty())
        return true;
    if (s.front() != ':' || s.size() < 2 || s.size() > 6)
        return false;
    int value = 0;
    for (char c : s.substr(1)) {
        if (!isDigit(c))
            return false;
        value = value * 10 + (c - '0');
    }
    if (value > 65535)
        return false;
    if (port)
        *port = value;
    return true;
}

bool isIpv4Literal(std::string_view s)
{
    int parts = 0;
    std::size_t pos = 0;
    while (true) {
        std::size_t dot = s.find('.', pos);
        std::string_view part = s.substr(pos, dot == std::string_view::npos ? dot : dot - pos);
        if (part.empty() || part.size() > 3 || !std::all_of(part.begin(), part.end(), isDigit))
            return false;
        int value = 0;
        for (char c : part)
            value = value * 10 + (c - '0');
        if (value > 255 || ++parts > 4)
            return false;
        if (dot == std::string_view::npos)
            break;
        pos = dot + 1;
    }
    return parts == 4;
}

// "[...]" holding only hexadecimal digits, ":" and "." (an embedded IPv4 tail), with a ":" inside.
// Such a text can never be a DNS name, which is what matters here.
bool isBracketedIpv6(std::string_view s)
{
    if (s.size() < 4 || s.front() != '[' || s.back() != ']')
        return false;
    std::string_view inner = s.substr(1, s.size() - 2);
    return inner.find(':') != std::string_view::npos &&
           std::all_of(inner.begin(), inner.end(), [](char c) { return isHex(c) || c == ':' || c == '.'; });
}

bool isLocalhostName(std::string_view s)
{
    static constexpr std::string_view kSuffix = ".localhost";
    return base::equalsNoCase(s, "localhost") ||
           (s.size() > kSuffix.size() && base::equalsNoCase(s.substr(s.size() - kSuffix.size()), kSuffix));
}

bool validDnsName(std::string_view s)
{
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) {
        return isAlpha(c) || isDigit(c) || c == '-' || c == '.' || c == '_';
    });
}

int defaultPort(const std::string& scheme)
{
    if (scheme == "http")
        return 80;
    if (scheme == "https")
        return 443;
    return -1;
}

enum class Form {
    Origin, // exactly scheme://host[:port]
    Entry,  // as Origin, plus a leading "*." on the host and one final "/"
    Url,    // an absolute URL: its path, query, fragment and user information are ignored
};

std::optional<SiteOrigin> parseSite(std::string_view text, Form form)
{
    const std::size_t sep = text.find("://");
    if (sep == std::string_view::npos || sep == 0)
        return std::nullopt;
    std::string_view scheme = text.substr(0, sep);
    if (!isAlpha(scheme.front()) || !std::all_of(scheme.begin(), scheme.end(), [](char c) {
            return isAlpha(c) || isDigit(c) || c == '+' || c == '-' || c == '.';
        }))
        return std::nullopt;

    std::string_view authority = text.substr(sep + 3);
    if (form == Form::Url) {
        authority = authority.substr(0, authority.find_first_of("/?#"));
        if (std::size_t at = authority.rfind('@'); at != std::string_view::npos)
            authority.remove_prefix(at + 1);
    } else if (form == Form::Entry && authority.ends_with('/')) {
        authority.remove_suffix(1);
    }

    SiteOrigin origin;
    std::string_view host;
    std::string_view rest;
    if (authority.starts_with('[')) {
        const std::size_t close = authority.find(']');
        if (close == std::string_view::npos)
            return std::nullopt;
        host = authority.substr(0, close + 1);
        rest = authority.substr(close + 1);
        if (!isBracketedIpv6(host))
            return std::nullopt;
    } else {
        const std::size_t colon = authority.find(':');
        host = authority.substr(0, colon);
        rest = colon == std::string_view::npos ? std::string_view() : authority.substr(colon);
        if (form == Form::Entry && host.starts_with("*.")) {
            origin.anySubdomain = true;
            host.remove_prefix(2);
        }
        if (!validDnsName(host))
            return std::nullopt;
    }
    int port = -1;
    if (!validPortSuffix(rest, &port))
        return std::nullopt;

    origin.scheme = lower(scheme);
    origin.host = lower(host);
    origin.port = port >= 0 ? port : defaultPort(origin.scheme);
    return origin;
}

// Every value of the header, joined with ", " as HTTP joins repeated fields (storage then holds
// the joined text); nullopt when absent. Repeated Origin or Host fields thus never read as one
// acceptable value. No copy is made for the usual single field: this runs for every request.
std::optional<std::string_view> headerValue(const HttpRequest& request, std::string_view name, std::string& storage)
{
    std::optional<std::string_view> value;
    for (const auto& [n, v] : request.headers) {
        if (!base::equalsNoCase(n, name))
            continue;
        if (!value) {
            value = base::trimmed(v);
            continue;
        }
        if (storage.empty())
            storage.assign(*value);
        storage += ", ";
        storage += base::trimmed(v);
        value = storage;
    }
    return value;
}

// A header value as it may appear in the log: printable ASCII only, at most 200 characters.
std::string shown(std::string_view value)
{
    std::string out;
    for (char c : value.substr(0, 200))
        out += (c >= 0x20 && c < 0x7f) ? c : '?';
    if (value.size() > 200)
        out += "...";
    return out;
}

Refusal siteRefusal(const std::string& site)
{
    return {"site " + site, "已拒绝来自 " + site + " 的请求：该网站不在 trusted.sites 中"};
}

} // namespace

std::string SiteOrigin::text() const
{
    std::string out = scheme + "://" + (anySubdomain ? "*." : "") + host;
    if (port >= 0 && port != defaultPort(scheme))
        out += ":" + std::to_string(port);
    return out;
}

std::optional<SiteOrigin> parseOrigin(std::string_view text)
{
    return parseSite(text, Form::Origin);
}

std::optional<SiteOrigin> originOfUrl(std::string_view url)
{
    return parseSite(url, Form::Url);
}

bool hostAllowed(std::string_view host)
{
    // An empty Host names no host, like a missing one (HTTP/1.0 tools).
    if (host.empty())
        return true;
    std::string_view name;
    std::string_view rest;
    if (host.front() == '[') {
        const std::size_t close = host.find(']');
        if (close == std::string_view::npos)
            return false;
        name = host.substr(0, close + 1);
        rest = host.substr(close + 1);
    } else {
        const std::size_t colon = host.find(':');
        name = host.substr(0, colon);
        rest = colon == std::string_view::npos ? std::string_view() : host.substr(colon);
    }
    return validPortSuffix(rest) && (isIpv4Literal(name) || isBracketedIpv6(name) || isLocalhostName(name));
}

TrustedSites TrustedSites::parse(std::string_view text, std::vector<std::string>* rejected)
{
    TrustedSites sites;
    std::size_t pos = 0;
    while (pos <= text.size()) {
        const std::size_t semicolon = text.find(';', pos);
        const std::string entry = trimBlanks(
            text.substr(pos, semicolon == std::string_view::npos ? semicolon : semicolon - pos));
        if (!entry.empty()) {
            sites.restricts_ = true;
            if (auto origin = parseSite(entry, Form::Entry))
                sites.entries_.push_back(std::move(*origin));
            else if (rejected)
                rejected->push_back(entry);
        }
        if (semicolon == std::string_view::npos)
            break;
        pos = semicolon + 1;
    }
    return sites;
}

bool TrustedSites::lists(const SiteOrigin& origin) const
{
    for (const SiteOrigin& entry : entries_) {
        if (entry.scheme != origin.scheme || entry.port != origin.port)
            continue;
        if (!entry.anySubdomain && entry.host == origin.host)
            return true;
        if (entry.anySubdomain && origin.host.size() > entry.host.size() + 1 &&
            origin.host.ends_with(entry.host) && origin.host[origin.host.size() - entry.host.size() - 1] == '.')
            return true;
    }
    return false;
}

std::optional<Refusal> judgeCaller(const HttpRequest& request, const TrustedSites& sites, const CallerPolicy& policy)
{
    std::string storage;
    if (auto host = headerValue(request, "Host", storage); host && !hostAllowed(*host))
        return Refusal{"host " + shown(*host),
                       "已拒绝发往主机 " + shown(*host) + " 的请求：只接受 IP 地址和 localhost"};
    if (policy.localProgramsOnly) {
        for (const auto& [name, value] : request.headers) {
            if (base::equalsNoCase(name, "Origin") || base::equalsNoCase(name, "Referer") ||
                base::startsWithNoCase(name, "Sec-Fetch-"))
                return Refusal{"page " + lower(name),
                               "已拒绝来自网页的请求（" + shown(name) + "）：只接受本机程序的请求"};
        }
    }
    if (!sites.restricts())
        return std::nullopt;

    storage.clear();
    if (auto origin = headerValue(request, "Origin", storage)) {
        auto parsed = parseOrigin(*origin);
        if (parsed && sites.lists(*parsed))
            return std::nullopt;
        return siteRefusal(parsed ? parsed->text() : shown(*origin));
    }
    if (auto referer = headerValue(request, "Referer", storage)) {
        auto parsed = originOfUrl(*referer);
        if (parsed && sites.lists(*parsed))
            return std::nullopt;
        return siteRefusal(parsed ? parsed->text() : shown(*referer));
    }
    if (auto fetchSite = headerValue(request, "Sec-Fetch-Site", storage)) {
        if (!base::equalsNoCase(*fetchSite, "same-origin") && !base::equalsNoCase(*fetchSite, "none")) {
            const std::string value = shown(lower(*fetchSite));
            return Refusal{"sec-fetch-site " + value,
                           "已拒绝未说明来源网站的请求（Sec-Fetch-Site: " + value + "）：只接受 trusted.sites 中的网站"};
        }
    }
    return std::nullopt;
}

CallerGate::CallerGate(TrustedSites sites, LogSink log, CallerPolicy policy)
    : sites_(std::move(sites)), log_(std::move(log)), policy_(policy)
{
}

bool CallerGate::admit(const HttpRequest& request, HttpResponse& response)
{
    std::optional<Refusal> refusal = judgeCaller(request, sites_, policy_);
    if (!refusal)
        return true;
    response = HttpResponse{};
    response.status = 403; // the default body: "<HTML><BODY><B>403 Forbidden</B></BODY></HTML>"

    std::string line;
    {
        std::lock_guard lock(mutex_);
        if (policy_.logEveryRefusal) {
            if (loggedRequests_ < kMaxLoggedRefusals) {
                ++loggedRequests_;
                line = std::move(refusal->message);
            } else if (!logFull_) {
                logFull_ = true;
                line = "已拒绝的请求太多，本次运行不再逐一记录";
            }
        } else if (logged_.contains(refusal->key)) {
            // written already this run
        } else if (logged_.size() < kMaxLoggedRefusals) {
            logged_.insert(refusal->key);
            line = std::move(refusal->message);
        } else if (!logFull_) {
            logFull_ = true;
            line = "已拒绝的主机和网站太多，本次运行不再逐一记录";
        }
    }
    if (!line.empty() && log_)
        log_(line);
    return false;
}

} // namespace kx::http
