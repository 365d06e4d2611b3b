#include "http/Dispatcher.h"

#include "common/Errors.h"
#include "common/FileCache.h"
#include "common/Paths.h"
#include "common/TextCodec.h"
#include "http/ParameterDecoder.h"
#include "platform/CalendarTime.h"

#include <ctime>
#include <filesystem>

namespace kx::http {

void Dispatcher::add(const std::string& path, std::unique_ptr<WebComponent> component)
{
    table_.emplace_back(path, std::move(component));
}

void Dispatcher::initAll()
{
    for (auto& [path, component] : table_)
        component->init();
}

WebComponent* Dispatcher::find(const std::string& path) const
{
    for (const auto& [p, component] : table_)
        if (p == path)
            return component.get();
    return nullptr;
}

bool Dispatcher::answersAtOnce(const HttpRequest& request) const
{
    const WebComponent* component = request.path.starts_with("/") ? find(request.path) : nullptr;
    return !component || component->answersAtOnce();
}

void Dispatcher::setGate(std::shared_ptr<CallerGate> gate)
{
    gate_ = std::move(gate);
}

void Dispatcher::dispatch(HttpRequest& request, HttpResponse& response, bool& closeConnection) const
{
    if (!gate_->admit(request, response)) {
        closeConnection = true;
        return;
    }
    WebComponent* component = request.path.starts_with("/") ? find(request.path) : nullptr;
    if (!component) {
        response = HttpResponse{};
        response.status = 404;
        response.setBody("<html> 404 " + reasonText(404) + "</html>");
        closeConnection = true;
        return;
    }
    response.status = 200;
    auto fail = [&](const std::string& errorClass, const std::string& message) {
        response = HttpResponse{};
        response.status = 500;
        response.setBody(errorPage(component->className(), errorClass, message));
        response.contentType = "text/html; charset=utf-8";
    };
    try {
        // The files a request reads (settings, module table, reply prefix) are as they were when
        // it first read one: one look for changes per request.
        const FileLookScope files;
        component->Service(request, response);
    } catch (const std::exception& e) {
        fail(errorClassName(e), e.what());
    } catch (...) {
        fail("unknown error", "an error of unknown type was raised");
    }
}

std::string reasonText(int status)
{
    switch (status) {
    case 100: return "Continue";
    case 101: return "Switching Protocols";
    case 200: return "OK";
    case 201: return "Created";
    case 202: return "Accepted";
    case 203: return "Non-authoritative Information";
    case 204: return "No Content";
    case 205: return "Reset Content";
    case 206: return "Partial Content";
    case 301: return "Moved Permanently";
    case 302: return "Moved Temporarily";
    case 303: return "See Other";
    case 304: return "Not Modified";
    case 305: return "Use Proxy";
    case 307: return "Temporary Redirect";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 402: return "Payment Required";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method not allowed";
    case 406: return "Not Acceptable";
    case 407: return "Proxy Authentication Required";
    case 408: return "Request Timeout";
    case 409: return "Conflict";
    case 410: return "Gone";
    case 411: return "Length Required";
    case 412: return "Precondition Failed";
    case 413: return "Request Entity Too Large";
    case 414: return "Request-URI Too Long";
    case 415: return "Unsupported Media Type";
    case 416: return "Requested Range Not Satisfiable";
    case 417: return "Expectation Failed";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 501: return "Not Implemented";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    case 504: return "Gateway timeout";
    case 505: return "HTTP version not supported";
    default: return "Unknown Response Code";
    }
}

std::string defaultBody(int status)
{
    return "<HTML><BODY><B>" + std::to_string(status) + " " + reasonText(status) + "</B></BODY></HTML>";
}

namespace {

std::string htmlEscape(const std::string& s)
{
    std::string out;
    out.reserve(s.size());
    for (char c : s) {
        switch (c) {
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '&': out += "&amp;"; break;
        case '"': out += "&quot;"; break;
        default: out += c;
        }
    }
    return out;
}

std::string contentTypeForFile(const std::string& path)
{
    std::string ext = utf8FromPath(pathFromUtf8(path).extension());
    for (char& c : ext)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (ext == ".png") return "image/png";
    if (ext == ".gif") return "image/gif";
    if (ext == ".jpg" || ext == ".jpeg") return "image/jpeg";
    if (ext == ".bmp") return "image/bmp";
    if (ext == ".htm" || ext == ".html") return "text/html";
    if (ext == ".txt") return "text/plain";
    if (ext == ".json") return "application/json";
    if (ext == ".pdf") return "application/pdf";
    return "application/octet-stream";
}

bool noBodyStatus(int status)
{
    return (status >= 100 && status < 200) || status == 204 || status == 304;
}

} // namespace

std::string errorPage(const std::string& componentClass, const std::string& errorClass,
                      const std::string& message)
{
    return "<!DOCTYPE html>\r\n<html>\r\n<head>\r\n<title>500 Internal Error</title>\r\n</head>\r\n"
           "<body>\r\n<h1>Exception in " + htmlEscape(componentClass) + ": " + htmlEscape(errorClass) +
           "</h1>\r\n<p>Exception message: " + htmlEscape(message) + "</p>\r\n</body>\r\n</html>\r\n";
}

std::string httpDate(long long secondsSinceEpoch)
{
    // Replies in the same second carry the same date: made once per second and thread.
    thread_local long long lastSecond = -1;
    thread_local char lastText[64];
    if (secondsSinceEpoch == lastSecond)
        return lastText;
    static const char* days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::time_t t = static_cast<std::time_t>(secondsSinceEpoch);
    const std::tm tm = platform::utcCalendarTime(t);
    std::snprintf(lastText, sizeof lastText, "%s, %02d %s %04d %02d:%02d:%02d GMT", days[tm.tm_wday],
                  tm.tm_mday, months[tm.tm_mon], tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
    lastSecond = secondsSinceEpoch;
    return lastText;
}

ReplyHead buildReply(const HttpResponse& response, const std::string& method, bool keepAlive, long long now)
{
    ReplyHead reply;
    const bool isHead = method == "HEAD";
    std::string contentType = response.contentType;
    std::string disposition = response.contentDisposition;
    unsigned long long contentLength = 0;

    bool servingFile = false;
    if (response.filePath) {
        std::error_code ec;
        const std::filesystem::path file = pathFromUtf8(*response.filePath);
        auto size = std::filesystem::file_size(file, ec);
        if (!ec && std::filesystem::is_regular_file(file, ec)) {
            servingFile = true;
            reply.fileSize = size;
            contentLength = size;
            if (!isHead)
                reply.filePath = *response.filePath;
            if (contentType.empty())
                contentType = contentTypeForFile(*response.filePath);
            if (disposition.empty())
                disposition = "attachment; filename=\"" +
                              utf8FromPath(file.filename()) + "\";";
        }
    }

    if (!servingFile) {
        std::string text;
        if (response.bodySet) {
            if (contentType.empty())
                contentType = "text/html; charset=ISO-8859-1";
        } else if (!isHead && !noBodyStatus(response.status)) {
            text = defaultBody(response.status);
            contentType = "text/html; charset=utf-8";
        }
        const std::string charset = charsetOf(contentType);
        const bool oneBytePerCharacter =
            charset.empty() || charset == "iso-8859-1" || charset == "latin1" || charset == "us-ascii";
        if (response.bodySet && response.streamedBody && !oneBytePerCharacter) {
            // Sent as it is produced, after the head: the bytes are the text itself.
            contentLength = response.streamedBody->size;
            if (!isHead)
                reply.streamed = *response.streamedBody;
        } else {
            if (response.bodySet && response.streamedBody) {
                response.streamedBody->produce([&text](std::string_view piece) {
                    text.append(piece);
                    return true;
                });
            } else if (response.bodySet) {
                text = response.body;
            }
            reply.body = oneBytePerCharacter ? utf8ToLatin1(text) : std::move(text);
            contentLength = reply.body.size();
            if (isHead)
                reply.body.clear();
        }
    }

    std::string& h = reply.head;
    h.reserve(256);
    h += "HTTP/1.1 " + std::to_string(response.status) + " " + reasonText(response.status) + "\r\n";
    h += keepAlive ? "Connection: keep-alive\r\n" : "Connection: close\r\n";
    if (!disposition.empty())
        h += "Content-Disposition: " + disposition + "\r\n";
    if (!contentType.empty())
        h += "Content-Type: " + contentType + "\r\n";
    if (response.untrustedMarkup)
        h += "Content-Security-Policy: sandbox allow-scripts allow-forms\r\n"
             "X-Content-Type-Options: nosniff\r\n";
    if (response.retryAfterSeconds > 0)
        h += "Retry-After: " + std::to_string(response.retryAfterSeconds) + "\r\n";
    h += "Content-Length: " + std::to_string(contentLength) + "\r\n";
    h += "Date: " + httpDate(now) + "\r\n\r\n";
    return reply;
}

bool writeStreamedBody(const ReplyHead& reply, const BodyWriter& write)
{
    if (!reply.streamed.produce)
        return true;
    std::uint64_t written = 0;
    const bool complete = reply.streamed.produce([&](std::string_view piece) {
        written += piece.size();
        return written <= reply.streamed.size && write(piece);
    });
    return complete && written == reply.streamed.size;
}

} // namespace kx::http
