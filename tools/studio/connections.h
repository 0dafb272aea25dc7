// The studio's HTTP connections, held on its own terms rather than the HTTP
// library's: each connection holds one of THREADS worker threads while it is
// open, so what a client may hold is bounded here.
//
// - A request's line and headers must arrive within HEADER_SECONDS, its body
//   within BODY_SECONDS after them; otherwise 408 and the connection closes.
// - A kept-alive connection idle for IDLE_SECONDS is closed; at most
//   MAX_REQUESTS requests go over one connection.
// - At most MAX_CONNECTIONS connections are open at once, MAX_PER_CLIENT from
//   one address; beyond that a connection is answered 503 at once and closed.
//   THREADS leaves room above MAX_CONNECTIONS, so that refusing never waits.
// - A request's headers take at most MAX_HEADER_BYTES and its body, as read
//   from the connection whatever its framing (a length, chunks), at most
//   MAX_BODY bytes: beyond that 431 or 413 and the connection closes.
// - Writing a response waits at most WRITE_SECONDS for the client to take
//   more of it.
// So 64 slow or idle clients leave the page answerable, and a client that
// sends nothing, or a byte every few seconds, is let go within seconds.
#pragma once

#include <httplib.h>

#include <map>
#include <mutex>
#include <string>

namespace studio {

struct Limits {
    static constexpr int HEADER_SECONDS = 5, BODY_SECONDS = 10, IDLE_SECONDS = 5, WRITE_SECONDS = 10;
    static constexpr int MAX_CONNECTIONS = 88, MAX_PER_CLIENT = 80, THREADS = 96, MAX_REQUESTS = 1000;
    static constexpr size_t MAX_HEADER_BYTES = 64 << 10, MAX_BODY = 1 << 20;
};

// What the connection learnt while reading the request being answered.
struct RequestFacts {
    bool tooLarge = false;     // the headers or the body went beyond their limit
    bool headersTooLarge = false;
    bool timedOut = false;     // the request did not arrive in time
    bool closeAfter = false;   // a handler refused the request before its body was read
};

// The facts of the request this thread is answering; a dummy outside one.
RequestFacts& currentRequest();

// An answer written straight to a connection, bypassing the HTTP library:
// the status line, JSON {"error": sentence}, Connection: close.
std::string rawAnswer(int status, const std::string& sentence);

class Listener : public httplib::Server {
public:
    Listener();
    // Answers `requests`, the bytes a client sent over one connection, as
    // the server would; returns the bytes it would send back. For fuzzing.
    std::string answerRaw(const std::string& requests);
    // A longer queue of connections waiting to be accepted than the library's
    // five, so that a burst of them is not held back by retries.
    void widenBacklog() { ::listen(svr_sock_, SOMAXCONN); }

private:
    bool process_and_close_socket(socket_t sock) override;
    bool admit(const std::string& client);
    void leave(const std::string& client);

    std::mutex mutex_;
    std::map<std::string, int> clients_;  // open connections by address
    int open_ = 0;
};

}  // namespace studio
