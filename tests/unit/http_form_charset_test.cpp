// A form posted to the service on a real loopback socket reaches the component decoded in the
// charset its Content-Type names.
#include "http/HttpService.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

using namespace kx::http;

namespace {

// Answers the parameter "v" as UTF-8 text.
class Echo : public PostComponent {
public:
    std::string className() const override { return "TEcho"; }
    void OnPost(HttpRequest& request, HttpResponse& response) override
    {
        response.contentType = "text/plain; charset=UTF-8";
        response.setBody("[" + request.param("v") + "]");
    }
};

// Sends one request and returns the reply's body (the connection is closed by the request).
std::string post(unsigned short port, const std::string& contentType, const std::string& body)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return "no connection";
    }
    const std::string request = "POST /echo HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\nContent-Type: " +
                                contentType + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    ::send(fd, request.data(), request.size(), 0);
    std::string reply;
    char buf[4096];
    ssize_t n;
    while ((n = ::recv(fd, buf, sizeof buf, 0)) > 0)
        reply.append(buf, static_cast<std::size_t>(n));
    ::close(fd);
    const auto end = reply.find("\r\n\r\n");
    return end == std::string::npos ? reply : reply.substr(end + 4);
}

TEST(HttpFormCharset, FormIsDecodedInTheNamedCharset)
{
    HttpService service;
    service.registerComponent("/echo", std::make_unique<Echo>());
    service.start("127.0.0.1", "0");
    const struct {
        const char* contentType;
        const char* body;
        const char* expected;
    } cases[] = {
        {"application/x-www-form-urlencoded; charset=GBK", "v=%D6%D0%CE%C4", "[中文]"},
        {"application/x-www-form-urlencoded; charset=gb18030", "v=%D6%D0%94%39%FC%36", "[中😀]"},
        {"application/x-www-form-urlencoded;charset=\"GB18030\"", "v=\xD6\xD0+%CE%C4", "[中 文]"},
        {"application/x-www-form-urlencoded; charset=UTF-8", "v=%E4%B8%AD", "[中]"},
        // No charset, or one nobody knows: each byte is one character.
        {"application/x-www-form-urlencoded", "v=%E4%B8%AD", "[\xC3\xA4\xC2\xB8\xC2\xAD]"},
        {"application/x-www-form-urlencoded; charset=x-kestrix-unknown", "v=%D6%D0", "[\xC3\x96\xC3\x90]"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(post(service.boundPort(), c.contentType, c.body), c.expected) << c.contentType << " " << c.body;
}

} // namespace
