#include "http/ConnectionLoop.h"

#include "http/WireRequest.h"

#include <boost/asio/buffer.hpp>
#include <boost/beast/core/string.hpp>
#include <boost/beast/http/error.hpp>

#include <cstdio>
#include <ctime>

namespace kx::http {

namespace bhttp = boost::beast::http;

namespace {

constexpr std::size_t kReadSize = 64 * 1024;
// A request larger than this (head and body as received) is decoded on a worker: decoding a
// document of many megabytes would hold up every other connection of the loop.
constexpr std::size_t kLoopRequestBytes = 64 * 1024;
// An idle connection keeps at most this much room for the bytes of its next request.
constexpr std::size_t kKeptInboxCapacity = 16 * 1024;
constexpr std::size_t kEventBatch = 64;

bool expectsContinue(const WireMessage& head)
{
    auto expect = head.find(bhttp::field::expect);
    return expect != head.end() && boost::beast::iequals(expect->value(), "100-continue");
}

// Sends what the socket takes at once of a reply held in memory, without waiting; `sent` is how
// many bytes went. A reply with a body to produce or a file is never sent here (Partial, 0 sent).
enum class AtOnce { Complete, Partial, Failed };
AtOnce sendAtOnce(Connection& conn, const ReplyHead& reply, std::size_t& sent)
{
    sent = 0;
    if (reply.streamed.produce || !reply.filePath.empty())
        return AtOnce::Partial;
    const std::string_view pieces[] = {reply.head, reply.body};
    const platform::SendResult r = conn.sendSome(pieces);
    sent = r.bytes;
    if (r.error)
        return AtOnce::Failed;
    return r.bytes < reply.head.size() + reply.body.size() ? AtOnce::Partial : AtOnce::Complete;
}

Answer errorAnswer(int status, int retryAfterSeconds = 0)
{
    HttpResponse response;
    response.status = status;
    response.retryAfterSeconds = retryAfterSeconds;
    return {buildReply(response, "GET", false, std::time(nullptr)), false};
}

} // namespace

ConnectionLoop::ConnectionLoop(RequestAnswerer& answerer, const ServiceLimits& limits,
                               std::shared_ptr<BodyBudget> bodies)
    : answerer_(answerer), limits_(limits), bodies_(std::move(bodies)), scratch_(kReadSize)
{
}

ConnectionLoop::~ConnectionLoop()
{
    stop();
}

void ConnectionLoop::start()
{
    thread_ = std::thread([this] { run(); });
}

bool ConnectionLoop::adopt(const std::shared_ptr<Connection>& conn)
{
    {
        std::lock_guard lock(mutex_);
        if (stopped_)
            return false;
        lent_.erase(conn);
        queued_.push_back(conn);
    }
    poller_.wake();
    return true;
}

void ConnectionLoop::stop()
{
    {
        std::lock_guard lock(mutex_);
        if (stopped_)
            return;
        stopped_ = true;
    }
    stopping_ = true;
    poller_.wake();
    if (thread_.joinable())
        thread_.join();
    std::vector<std::shared_ptr<Connection>> queued;
    std::vector<std::shared_ptr<Connection>> lent;
    {
        std::lock_guard lock(mutex_);
        queued.swap(queued_);
        lent.assign(lent_.begin(), lent_.end());
    }
    for (auto& conn : queued)
        conn->close();
    for (auto& conn : lent)
        conn->stop();
}

void ConnectionLoop::run()
{
    std::vector<platform::PollEvent> events(kEventBatch);
    while (!stopping_) {
        takeQueued();
        const std::size_t count = poller_.wait(events, untilNextDeadline());
        for (std::size_t i = 0; i < count && !stopping_; ++i) {
            auto it = connections_.find(events[i].key);
            if (it != connections_.end())
                onReadable(std::shared_ptr<Connection>(it->second));
        }
        if (!deadlines_.empty())
            expire(Clock::now());
    }
    for (auto& [id, conn] : connections_) {
        poller_.remove(conn->socket());
        conn->close();
    }
    connections_.clear();
}

void ConnectionLoop::takeQueued()
{
    std::vector<std::shared_ptr<Connection>> taken;
    {
        std::lock_guard lock(mutex_);
        if (queued_.empty())
            return;
        taken.swap(queued_);
    }
    for (auto& conn : taken) {
        if (int error = poller_.add(conn->socket(), conn->id())) {
            std::fprintf(stderr, "HTTP service: cannot watch a connection (error %d)\n", error);
            conn->close();
            continue;
        }
        connections_.emplace(conn->id(), conn);
        // One back from a worker in the middle of a body (after "100 Continue") waits for its
        // next byte; a new connection starts the clock of its first head; one back after a reply
        // may hold the bytes of requests that followed the one the worker answered.
        if (conn->parser)
            setDeadline(*conn, Clock::now() + std::chrono::seconds(limits_.bodyIdleSeconds));
        serveInput(conn);
    }
}

void ConnectionLoop::onReadable(const std::shared_ptr<Connection>& conn)
{
    const platform::ReceiveResult r = conn->receive(scratch_.data(), scratch_.size());
    if (r.status == platform::ReceiveStatus::WouldBlock)
        return;
    if (r.status != platform::ReceiveStatus::Data) {
        closeConnection(conn); // the peer went, mid-request or between requests: no reply
        return;
    }
    conn->inbox.append(scratch_.data(), r.bytes);
    if (conn->inBody)
        setDeadline(*conn, Clock::now() + std::chrono::seconds(limits_.bodyIdleSeconds));
    serveInput(conn);
}

// Parses what the connection received and answers every request that is complete, until the
// bytes run out, the connection closes or it is lent to a worker.
void ConnectionLoop::serveInput(const std::shared_ptr<Connection>& conn)
{
    Connection& c = *conn;
    try {
        while (true) {
            if (!c.parser) {
                c.parser.emplace();
                c.parser->header_limit(static_cast<std::uint32_t>(limits_.maxHeadBytes));
                c.parser->body_limit(limits_.maxBodyBytes);
                c.headDone = false;
                c.inBody = false;
                c.requestBytes = 0;
                c.body.release(); // the previous request has been answered
                setDeadline(c, Clock::now() + std::chrono::seconds(limits_.headTimeoutSeconds));
            }
            boost::system::error_code ec;
            std::size_t used = 0;
            while (!c.parser->is_done() && used < c.inbox.size()) {
                used += c.parser->put(boost::asio::buffer(c.inbox.data() + used, c.inbox.size() - used), ec);
                if (ec == bhttp::error::need_more) {
                    ec = {};
                    break;
                }
                if (ec)
                    break;
                if (!c.headDone && c.parser->is_header_done()) {
                    c.headDone = true;
                    if (!c.parser->is_done()) {
                        if (!c.body.growTo(bodies_, c.parser->content_length().value_or(0))) {
                            sendOrLend(conn, errorAnswer(503, limits_.busyRetryAfterSeconds));
                            return;
                        }
                        c.inBody = true;
                        setDeadline(c, Clock::now() + std::chrono::seconds(limits_.bodyIdleSeconds));
                        if (expectsContinue(c.parser->get())) {
                            c.inbox.erase(0, used);
                            c.requestBytes += used;
                            used = 0;
                            Answer proceed;
                            proceed.reply.head = "HTTP/1.1 100 Continue\r\n\r\n";
                            proceed.keepAlive = true;
                            if (!sendOrLend(conn, std::move(proceed)))
                                return;
                        }
                    }
                }
            }
            c.inbox.erase(0, used);
            c.requestBytes += used;
            if (c.inbox.empty() && c.inbox.capacity() > kKeptInboxCapacity)
                std::string().swap(c.inbox);
            if (ec) {
                // A request that the parser refused gets an answer, and the connection closes.
                const int status = ec == bhttp::error::body_limit     ? 413
                                 : ec == bhttp::error::header_limit ? 431
                                                                    : 400;
                sendOrLend(conn, errorAnswer(status));
                return;
            }
            // A chunked body declares no length: it is admitted as it arrives.
            if (c.inBody && !c.body.growTo(bodies_, c.parser->get().body().size())) {
                sendOrLend(conn, errorAnswer(503, limits_.busyRetryAfterSeconds));
                return;
            }
            if (!c.parser->is_done())
                return; // waits for more bytes

            WireMessage message = c.parser->release();
            c.parser.reset();
            c.inBody = false;
            if (c.requestBytes > kLoopRequestBytes) {
                auto wire = std::make_shared<WireMessage>(std::move(message));
                lend(conn, [this, wire] {
                    HttpRequest request = requestFromWire(std::move(*wire));
                    return answerer_.answer(request);
                }, 0, RequestAnswerer::Work::Answer);
                return;
            }
            HttpRequest request = requestFromWire(std::move(message));
            if (!answerer_.answersAtOnce(request)) {
                auto lent = std::make_shared<HttpRequest>(std::move(request));
                lend(conn, [this, lent] { return answerer_.answer(*lent); }, 0, RequestAnswerer::Work::Answer);
                return;
            }
            if (!sendOrLend(conn, answerer_.answer(request)))
                return;
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "HTTP service: connection error: %s\n", e.what());
        closeConnection(conn);
    }
}

// Sends the answer if the socket takes it at once; true when the connection stays with the loop
// for its next request. A reply with a body to produce or a file, or one the socket does not take
// whole, is written by a worker.
bool ConnectionLoop::sendOrLend(const std::shared_ptr<Connection>& conn, Answer answer)
{
    std::size_t sent = 0;
    switch (sendAtOnce(*conn, answer.reply, sent)) {
    case AtOnce::Failed:
        closeConnection(conn);
        return false;
    case AtOnce::Partial: {
        auto rest = std::make_shared<Answer>(std::move(answer));
        lend(conn, [rest] { return std::move(*rest); }, sent, RequestAnswerer::Work::Write);
        return false;
    }
    case AtOnce::Complete:
        break;
    }
    if (!answer.keepAlive) {
        closeConnection(conn);
        return false;
    }
    return true;
}

void ConnectionLoop::lend(const std::shared_ptr<Connection>& conn, std::function<Answer()> makeAnswer,
                          std::size_t sent, RequestAnswerer::Work kind)
{
    release(*conn);
    {
        std::lock_guard lock(mutex_);
        lent_.insert(conn);
    }
    hand(conn, std::move(makeAnswer), sent, kind);
}

// Runs the work for a lent connection on a worker of its kind. An answer made there is sent as far
// as the socket takes it at once, and a writer finishes the rest: a client that does not read its
// replies holds a writer, never a worker that module calls need.
void ConnectionLoop::hand(const std::shared_ptr<Connection>& conn, std::function<Answer()> makeAnswer,
                          std::size_t sent, RequestAnswerer::Work kind)
{
    try {
        answerer_.runElsewhere([this, conn, makeAnswer = std::move(makeAnswer), sent, kind]() mutable {
            try {
                Answer answer = makeAnswer();
                // The request is answered: its body (held by the job) and its share of the body
                // budget go now, not when the connection's next request starts.
                makeAnswer = nullptr;
                conn->body.release();
                if (kind == RequestAnswerer::Work::Write) {
                    giveBack(conn, writeReply(*conn, answer.reply, sent) && answer.keepAlive);
                    return;
                }
                while (true) {
                    std::size_t done = 0;
                    const AtOnce result = sendAtOnce(*conn, answer.reply, done);
                    if (result == AtOnce::Partial) {
                        auto rest = std::make_shared<Answer>(std::move(answer));
                        hand(conn, [rest] { return std::move(*rest); }, done, RequestAnswerer::Work::Write);
                        return;
                    }
                    const bool keep = result == AtOnce::Complete && answer.keepAlive;
                    std::optional<HttpRequest> next;
                    if (keep)
                        next = nextRequestHere(*conn);
                    if (!next) {
                        giveBack(conn, keep);
                        return;
                    }
                    answer = answerer_.answer(*next);
                }
            } catch (const std::exception& e) {
                std::fprintf(stderr, "HTTP service: connection error: %s\n", e.what());
            }
            giveBack(conn, false);
        }, kind);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "HTTP service: cannot answer a request (%s)\n", e.what());
        giveBack(conn, false);
    }
}

std::optional<HttpRequest> ConnectionLoop::nextRequestHere(Connection& conn)
{
    // Bytes that came with the last request (pipelining) are the loop's to parse.
    if (stopping_ || !conn.inbox.empty())
        return std::nullopt;
    thread_local std::vector<char> scratch(kReadSize);
    const platform::ReceiveResult r = conn.receiveNextRequest(scratch.data(), scratch.size());
    if (r.status != platform::ReceiveStatus::Data)
        return std::nullopt; // the loop sees the end of the stream (or the error) again
    conn.inbox.append(scratch.data(), r.bytes);
    // Parsed from the inbox without taking from it: only a request answered here leaves it.
    WireParser parser;
    parser.header_limit(static_cast<std::uint32_t>(limits_.maxHeadBytes));
    parser.body_limit(limits_.maxBodyBytes);
    boost::system::error_code ec;
    const std::size_t used = parser.put(boost::asio::buffer(conn.inbox), ec);
    if (ec || !parser.is_done() || used > kLoopRequestBytes || parser.chunked() ||
        parser.content_length().value_or(0) != 0 || expectsContinue(parser.get()))
        return std::nullopt;
    conn.inbox.erase(0, used);
    return requestFromWire(parser.release());
}

// A worker is done with the connection: the loop takes it again, or it closes.
void ConnectionLoop::giveBack(const std::shared_ptr<Connection>& conn, bool keep)
{
    if (keep && adopt(conn))
        return;
    conn->close();
    std::lock_guard lock(mutex_);
    lent_.erase(conn);
}

void ConnectionLoop::closeConnection(const std::shared_ptr<Connection>& conn)
{
    release(*conn);
    conn->close();
}

// The loop lets go of the connection: no more events, no deadline.
void ConnectionLoop::release(Connection& conn)
{
    poller_.remove(conn.socket());
    connections_.erase(conn.id());
    conn.watchedAt = Clock::time_point::max();
}

// The heap holds at most one live record per connection, the one at watchedAt; a later deadline
// is found when that record comes up, and an earlier one adds a record (the old one is skipped).
void ConnectionLoop::setDeadline(Connection& conn, Clock::time_point when)
{
    conn.deadline = when;
    if (when < conn.watchedAt) {
        deadlines_.push({when, conn.id()});
        conn.watchedAt = when;
    }
}

void ConnectionLoop::expire(Clock::time_point now)
{
    while (!deadlines_.empty() && deadlines_.top().when <= now) {
        const Watch top = deadlines_.top();
        deadlines_.pop();
        auto it = connections_.find(top.id);
        if (it == connections_.end() || it->second->watchedAt != top.when)
            continue; // closed, lent, or recorded again earlier
        std::shared_ptr<Connection> conn = it->second;
        if (conn->deadline <= now) {
            closeConnection(conn); // out of time: closed without a reply
            continue;
        }
        deadlines_.push({conn->deadline, conn->id()});
        conn->watchedAt = conn->deadline;
    }
}

std::chrono::milliseconds ConnectionLoop::untilNextDeadline() const
{
    if (deadlines_.empty())
        return std::chrono::milliseconds(-1);
    const auto left = deadlines_.top().when - Clock::now();
    if (left <= Clock::duration::zero())
        return std::chrono::milliseconds(0);
    // Rounded up, so the wait never ends just before the deadline.
    return std::chrono::duration_cast<std::chrono::milliseconds>(left) + std::chrono::milliseconds(1);
}

} // namespace kx::http
