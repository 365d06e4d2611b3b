#pragma once
// The base of every endpoint's request handler. Service dispatches by method; a handler that a
// component does not override answers 405. One instance serves all requests to its path,
// concurrently, so components keep no per-request state.
#include "http/HttpRequest.h"
#include "http/HttpResponse.h"

#include <string>

namespace kx::http {

class WebComponent {
public:
    virtual ~WebComponent() = default;

    // The class name shown on the 500 error page.
    virtual std::string className() const = 0;
    // Runs once when the service starts.
    virtual void init() {}
    // True when every handler answers at once: it never waits for a module, a dialog, the
    // network, a lock held for long or a large file. Such requests are answered on the thread
    // that reads the connections; all others on a thread of their own, so they hold up no one.
    virtual bool answersAtOnce() const { return false; }

    virtual void Service(HttpRequest& request, HttpResponse& response);

    virtual void OnGet(HttpRequest& request, HttpResponse& response);
    virtual void OnPost(HttpRequest& request, HttpResponse& response);
    virtual void OnHead(HttpRequest& request, HttpResponse& response);
    virtual void OnOptions(HttpRequest& request, HttpResponse& response);
    virtual void OnPut(HttpRequest& request, HttpResponse& response);
    virtual void OnDelete(HttpRequest& request, HttpResponse& response);
    virtual void OnTrace(HttpRequest& request, HttpResponse& response);
    virtual void OnPatch(HttpRequest& request, HttpResponse& response);

protected:
    static void methodNotAllowed(HttpResponse& response);
};

// A component that serves GET exactly like POST (OnGet calls OnPost).
class PostComponent : public WebComponent {
public:
    void OnGet(HttpRequest& request, HttpResponse& response) override { OnPost(request, response); }
};

} // namespace kx::http
