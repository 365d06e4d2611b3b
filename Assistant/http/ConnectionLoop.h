#pragma once
// One loop thread serving many connections without blocking: it waits for all of them through one
// poller, reads what arrives, parses heads and bodies as they come, answers the requests whose
// answer never waits right there (a kept-alive /heart costs one receive and one send), and lends
// the connection to a worker thread for any other request and for a reply the socket does not
// take at once. The worker gives the connection back when the reply is written.
//
// Deadlines cost no descriptor: each connection carries one, and the loop keeps them in a heap
// that it checks whenever it wakes (the poller's wait ends at the earliest). A head must be
// complete headTimeoutSeconds after the connection began to wait for it; while a body arrives, no
// byte for bodyIdleSeconds ends the connection. A connection closed for time gets no reply. A body
// is admitted against the service's body budget before it is read (BodyBudget.h). A
// reply the client takes nothing of for replyStallSeconds ends the connection (on its writer).
//
// A worker that has answered a request and written the whole reply waits a moment for the
// connection's next request (Connection::kNextRequestWaitMs) before it gives it back: a client that
// sends its next request as soon as it has read a reply (a page calling modules one after another)
// has it answered right there, without two more hand-overs between the threads.
//
// Work that may wait (module calls, large requests) runs on answer workers; a reply the socket
// does not take at once is finished by a reply writer, so clients that never read hold writers
// only. Both kinds have a cap (ServiceLimits), past which work waits for a thread.
#include "http/Connection.h"
#include "http/HttpRequest.h"
#include "http/HttpService.h"
#include "platform/SocketPoller.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <queue>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace kx::http {

struct Answer {
    ReplyHead reply;
    bool keepAlive = false;
};

// What the loop needs from the service.
class RequestAnswerer {
public:
    virtual ~RequestAnswerer() = default;
    // True when the answer to the request never waits (it may be made on the loop thread).
    virtual bool answersAtOnce(const HttpRequest& request) const = 0;
    // Any thread.
    virtual Answer answer(HttpRequest& request) = 0;
    // Runs the job on a worker thread of its kind; raises std::exception when it cannot.
    enum class Work {
        Answer, // makes an answer that may wait, then writes it
        Write,  // writes an answer made already
    };
    virtual void runElsewhere(std::function<void()> job, Work kind) = 0;
};

class ConnectionLoop {
public:
    // Raises std::system_error when the poller cannot be had.
    // The body budget is shared by every loop of the service.
    ConnectionLoop(RequestAnswerer& answerer, const ServiceLimits& limits, std::shared_ptr<BodyBudget> bodies);
    ~ConnectionLoop(); // stop()
    ConnectionLoop(const ConnectionLoop&) = delete;
    ConnectionLoop& operator=(const ConnectionLoop&) = delete;

    void start();
    // Any thread: the loop takes the connection (a new one, or one a worker is done with). False,
    // the connection untouched, once the loop has stopped.
    bool adopt(const std::shared_ptr<Connection>& conn);
    // Ends the thread and closes every connection the loop holds; connections lent to workers are
    // stopped (see Connection::stop) and closed by their workers. Idempotent.
    void stop();

private:
    using Clock = Connection::Clock;
    struct Watch {
        Clock::time_point when;
        std::uint64_t id;
        bool operator>(const Watch& other) const { return when > other.when; }
    };

    void run();
    void takeQueued();
    void onReadable(const std::shared_ptr<Connection>& conn);
    void serveInput(const std::shared_ptr<Connection>& conn);
    bool sendOrLend(const std::shared_ptr<Connection>& conn, Answer answer);
    void lend(const std::shared_ptr<Connection>& conn, std::function<Answer()> makeAnswer, std::size_t sent,
              RequestAnswerer::Work kind);
    void hand(const std::shared_ptr<Connection>& conn, std::function<Answer()> makeAnswer, std::size_t sent,
              RequestAnswerer::Work kind);
    void giveBack(const std::shared_ptr<Connection>& conn, bool keep);
    // On a worker that has just answered: the connection's next request, when it arrives within a
    // moment, is whole, small and has no body; else nothing (what arrived stays in the inbox for
    // the loop).
    std::optional<HttpRequest> nextRequestHere(Connection& conn);
    void closeConnection(const std::shared_ptr<Connection>& conn);
    void release(Connection& conn);
    void setDeadline(Connection& conn, Clock::time_point when);
    void expire(Clock::time_point now);
    std::chrono::milliseconds untilNextDeadline() const;

    RequestAnswerer& answerer_;
    const ServiceLimits limits_;
    const std::shared_ptr<BodyBudget> bodies_;
    platform::SocketPoller poller_;
    std::thread thread_;

    // Shared with other threads.
    std::mutex mutex_;
    std::vector<std::shared_ptr<Connection>> queued_; // adopted, not yet taken by the loop thread
    std::unordered_set<std::shared_ptr<Connection>> lent_;
    bool stopped_ = false;
    std::atomic<bool> stopping_{false};

    // Loop thread only.
    std::unordered_map<std::uint64_t, std::shared_ptr<Connection>> connections_;
    std::priority_queue<Watch, std::vector<Watch>, std::greater<>> deadlines_;
    std::vector<char> scratch_;
};

} // namespace kx::http
