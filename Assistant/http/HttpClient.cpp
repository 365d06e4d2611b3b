#include "http/HttpClient.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <exception>
#include <memory>
#include <mutex>

namespace kx::http {
namespace {

void initCurlOnce()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// Where the body of the final reply goes, and what became of it.
struct Transfer {
    ClientReply reply;
    const RequestOptions* options = nullptr;
    bool destinationRefused = false;
    bool outOfTime = false; // the sized time limit ran out
    std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
    BodySink* sink = nullptr;
    bool began = false;    // the sink was asked about the body
    bool accepted = false; // ... and wanted it
    bool sinkFailed = false;

    bool successStatus() const { return reply.status >= 200 && reply.status <= 299; }

    // With a sink, asks it once whether it wants the body of a 2xx reply; any other body is dropped.
    void beginBody()
    {
        if (began)
            return;
        began = true;
        accepted = sink && successStatus() && sink->begin(reply);
    }
};

// Called once connected, before the request is sent.
int onConnected(void* user, char* ip, char* /*localIp*/, int port, int /*localPort*/)
{
    Transfer* transfer = static_cast<Transfer*>(user);
    if (transfer->options->refuseDestination(ip, static_cast<unsigned>(port))) {
        transfer->destinationRefused = true;
        return CURL_PREREQFUNC_ABORT;
    }
    return CURL_PREREQFUNC_OK;
}

// Called at least once a second while the transfer runs: enforces the sized time limit.
int onProgress(void* user, curl_off_t downloadTotal, curl_off_t downloadNow, curl_off_t, curl_off_t)
{
    auto* t = static_cast<Transfer*>(user);
    const RequestOptions::SizedTimeout& limit = t->options->sizedTimeout;
    const auto bytes = static_cast<std::uint64_t>(std::max<curl_off_t>({downloadTotal, downloadNow, 0}));
    const auto allowed = limit.base + std::chrono::milliseconds(bytes * 1000 / std::max<std::uint64_t>(limit.bytesPerSecond, 1));
    if (std::chrono::steady_clock::now() - t->started <= allowed)
        return 0;
    t->outOfTime = true;
    return 1; // abandons the transfer
}

size_t onBody(char* data, size_t size, size_t count, void* user)
{
    auto* t = static_cast<Transfer*>(user);
    const size_t n = size * count;
    if (!t->sink) {
        t->reply.body.append(data, n);
        return n;
    }
    t->beginBody();
    if (!t->accepted)
        return n;
    if (!t->sink->write(data, n)) {
        t->sinkFailed = true;
        return 0; // ends the transfer with a write error
    }
    return n;
}

// Header lines of every reply arrive here, also those of an interim "100 Continue"; a new status
// line starts the list afresh so that only the final reply's headers remain.
size_t onHeader(char* data, size_t size, size_t count, void* user)
{
    ClientReply* reply = &static_cast<Transfer*>(user)->reply;
    std::string line(data, size * count);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    if (line.rfind("HTTP/", 0) == 0) {
        reply->headers.clear();
        // "HTTP/1.1 200 OK": the status is the number after the first blank.
        const auto blank = line.find(' ');
        reply->status = blank == std::string::npos ? 0 : std::strtol(line.c_str() + blank + 1, nullptr, 10);
        return size * count;
    }
    const auto colon = line.find(':');
    if (colon == std::string::npos)
        return size * count;
    reply->headers.emplace_back(line.substr(0, colon),
                                base::trimmed(std::string_view(line).substr(colon + 1)));
    return size * count;
}

void encodeInto(std::string& out, const std::string& text)
{
    static const char* hex = "0123456789ABCDEF";
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
            out += static_cast<char>(c);
        } else if (c == ' ') {
            out += '+';
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
}

ClientResult post(const std::string& url, const std::string& body, const char* contentTypeHeader,
                  const RequestOptions& options)
{
    initCurlOnce();
    ClientResult result;
    std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(), &curl_easy_cleanup);
    if (!curl) {
        result.error = "cannot create a transfer";
        return result;
    }
    curl_slist* headers = nullptr;
    headers = curl_slist_append(headers, contentTypeHeader);
    headers = curl_slist_append(headers, "Expect:"); // no 100-continue round trip for large bodies
    std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> headerList(headers, &curl_slist_free_all);

    Transfer transfer;
    transfer.sink = options.sink;
    char errorBuffer[CURL_ERROR_SIZE] = {};
    CURL* h = curl.get();
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    // Only web addresses are fetched: a stored gopher://, file://, dict://... address must never
    // make the client talk another protocol to a local service or read a local file.
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
    if (options.connectTimeout.count() > 0)
        curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(options.connectTimeout.count()));
    if (options.totalTimeout.count() > 0)
        curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(options.totalTimeout.count()));
    if (options.stallTimeout.count() > 0) {
        curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, static_cast<long>(options.stallTimeout.count()));
    }
    curl_easy_setopt(h, CURLOPT_POST, 1L);
    curl_easy_setopt(h, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headerList.get());
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &onBody);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, &onHeader);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, &transfer);
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorBuffer);
    transfer.options = &options;
    if (options.refuseDestination) {
        curl_easy_setopt(h, CURLOPT_PREREQFUNCTION, &onConnected);
        curl_easy_setopt(h, CURLOPT_PREREQDATA, &transfer);
    }
    if (options.sizedTimeout.base.count() > 0) {
        curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, &onProgress);
        curl_easy_setopt(h, CURLOPT_XFERINFODATA, &transfer);
        curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
    }

    const CURLcode rc = curl_easy_perform(h);
    if (rc != CURLE_OK) {
        result.error = transfer.destinationRefused ? "destination refused"
                       : transfer.outOfTime         ? "the transfer took longer than its size allows"
                       : transfer.sinkFailed       ? "the reply body could not be stored"
                       : errorBuffer[0]    ? errorBuffer
                                           : curl_easy_strerror(rc);
        result.reply = std::move(transfer.reply);
        return result;
    }
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &transfer.reply.status);
    if (!transfer.successStatus()) {
        result.error = "HTTP status " + std::to_string(transfer.reply.status);
        result.reply = std::move(transfer.reply);
        return result;
    }
    if (transfer.sink)
        transfer.beginBody(); // an empty body is offered too
    result.reply = std::move(transfer.reply);
    result.ok = true;
    return result;
}

} // namespace

std::string ClientReply::header(const std::string& name) const
{
    return headerOrEmpty(headers, name);
}

std::optional<UrlTarget> urlTarget(const std::string& url)
{
    std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> parsed(curl_url(), &curl_url_cleanup);
    if (!parsed || curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK)
        return std::nullopt;
    auto part = [&](CURLUPart which, unsigned flags) -> std::optional<std::string> {
        char* text = nullptr;
        if (curl_url_get(parsed.get(), which, &text, flags) != CURLUE_OK || !text)
            return std::nullopt;
        std::string value(text);
        curl_free(text);
        return value;
    };
    const auto scheme = part(CURLUPART_SCHEME, 0);
    const auto host = part(CURLUPART_HOST, 0);
    const auto port = part(CURLUPART_PORT, CURLU_DEFAULT_PORT);
    if (!scheme || !host || !port || (*scheme != "http" && *scheme != "https"))
        return std::nullopt;
    UrlTarget target{*host, 0};
    try {
        target.port = static_cast<unsigned>(std::stoul(*port));
    } catch (const std::exception&) {
        return std::nullopt;
    }
    return target;
}

std::string encodeForm(const FormFields& fields)
{
    std::string out;
    for (const auto& [name, value] : fields) {
        if (!out.empty())
            out += '&';
        encodeInto(out, name);
        out += '=';
        encodeInto(out, value);
    }
    return out;
}

ClientResult postForm(const std::string& url, const FormFields& fields, const RequestOptions& options)
{
    return post(url, encodeForm(fields), "Content-Type: application/x-www-form-urlencoded", options);
}

ClientResult postBody(const std::string& url, const std::string& body, const RequestOptions& options)
{
    return post(url, body, "Content-Type:", options);
}

} // namespace kx::http
