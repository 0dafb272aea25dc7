// Connections read through deadlines and byte limits: a Stream over the
// socket that the HTTP library parses requests from, and the loop that keeps
// a connection alive between requests.
#include "tools/studio/connections.h"

#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

namespace studio {

namespace {

using Clock = std::chrono::steady_clock;

thread_local RequestFacts* current = nullptr;

// A request as read from the client: counts header and body bytes as the
// library takes them and stops at a limit or a deadline.
class RequestStream : public httplib::Stream {
public:
    void startRequest() {
        facts_ = {};
        inHeaders_ = true;
        newlines_ = 0;
        headerBytes_ = bodyBytes_ = 0;
        written_ = 0;
        deadline_ = Clock::now() + std::chrono::seconds(Limits::HEADER_SECONDS);
    }
    RequestFacts& facts() { return facts_; }
    bool answered() const { return written_ > 0; }
    bool started() const { return headerBytes_ > 0; }

    ssize_t read(char* ptr, size_t size) override {
        if (facts_.tooLarge || facts_.timedOut) return -1;
        if (offset_ == buffer_.size()) {
            buffer_.clear();
            offset_ = 0;
            const ssize_t got = fill(buffer_, deadline_);
            if (got < 0) facts_.timedOut = got == TIMED_OUT;
            if (got <= 0) return got == 0 ? 0 : -1;
        }
        const size_t n = std::min(size, buffer_.size() - offset_);
        for (size_t i = 0; i < n; ++i) count(buffer_[offset_ + i]);
        std::copy_n(buffer_.data() + offset_, n, ptr);
        offset_ += n;
        return ssize_t(n);
    }
    ssize_t write(const char* ptr, size_t size) override {
        const ssize_t wrote = send(ptr, size);
        if (wrote > 0) written_ += size_t(wrote);
        return wrote;
    }
    // Reads and drops what the client still sends, up to a bound, so that a
    // refusal sent before its body was read is not lost to a reset.
    void drain() {
        buffer_.clear();
        offset_ = 0;
        const auto deadline = Clock::now() + std::chrono::seconds(2);
        for (size_t dropped = 0; dropped < 4 * Limits::MAX_BODY;) {
            std::string chunk;
            if (fill(chunk, deadline) <= 0) break;
            dropped += chunk.size();
        }
    }
    // Waits up to `seconds` for the first byte of another request.
    bool awaitRequest(int seconds) {
        if (offset_ < buffer_.size()) return true;
        buffer_.clear();
        offset_ = 0;
        return fill(buffer_, Clock::now() + std::chrono::seconds(seconds)) > 0;
    }

    virtual void endWriting() {}

protected:
    static constexpr ssize_t TIMED_OUT = -2;
    // Appends what arrives before the deadline; 0 at the end, TIMED_OUT or -1.
    virtual ssize_t fill(std::string& into, Clock::time_point deadline) = 0;
    virtual ssize_t send(const char* ptr, size_t size) = 0;

private:
    void count(char c) {
        if (inHeaders_) {
            if (++headerBytes_ > Limits::MAX_HEADER_BYTES) facts_.tooLarge = facts_.headersTooLarge = true;
            if (c == '\n' && ++newlines_ == 2) {
                inHeaders_ = false;
                deadline_ = Clock::now() + std::chrono::seconds(Limits::BODY_SECONDS);
            } else if (c != '\n' && c != '\r') {
                newlines_ = 0;
            }
        } else if (++bodyBytes_ > Limits::MAX_BODY) {
            facts_.tooLarge = true;
        }
    }

    std::string buffer_;
    size_t offset_ = 0;
    RequestFacts facts_;
    bool inHeaders_ = true;
    int newlines_ = 0;
    size_t headerBytes_ = 0, bodyBytes_ = 0, written_ = 0;
    Clock::time_point deadline_;
};

int millisecondsUntil(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return int(std::max<int64_t>(0, std::min<int64_t>(left, 60000)));
}

class SocketStream : public RequestStream {
public:
    explicit SocketStream(int fd) : fd_(fd) {}
    bool is_readable() const override { return true; }
    bool is_writable() const override {
        pollfd p{fd_, POLLOUT, 0};
        return ::poll(&p, 1, Limits::WRITE_SECONDS * 1000) > 0 && !(p.revents & (POLLERR | POLLHUP));
    }
    void get_remote_ip_and_port(std::string& ip, int& port) const override { address(false, ip, port); }
    void get_local_ip_and_port(std::string& ip, int& port) const override { address(true, ip, port); }
    socket_t socket() const override { return fd_; }
    void endWriting() override { ::shutdown(fd_, SHUT_WR); }

protected:
    ssize_t fill(std::string& into, Clock::time_point deadline) override {
        for (;;) {
            pollfd p{fd_, POLLIN, 0};
            const int ready = ::poll(&p, 1, millisecondsUntil(deadline));
            if (ready < 0 && errno == EINTR) continue;
            if (ready == 0) return TIMED_OUT;
            if (ready < 0) return -1;
            char chunk[4096];
            const ssize_t got = ::recv(fd_, chunk, sizeof chunk, 0);
            if (got < 0 && errno == EINTR) continue;
            if (got > 0) into.append(chunk, size_t(got));
            return got;
        }
    }
    ssize_t send(const char* ptr, size_t size) override {
        size_t done = 0;
        while (done < size) {
            pollfd p{fd_, POLLOUT, 0};
            const int ready = ::poll(&p, 1, Limits::WRITE_SECONDS * 1000);
            if (ready < 0 && errno == EINTR) continue;
            if (ready <= 0) return -1;  // the client stopped taking the answer
            const ssize_t wrote = ::send(fd_, ptr + done, size - done, MSG_NOSIGNAL);
            if (wrote < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (wrote <= 0) return -1;
            done += size_t(wrote);
        }
        return ssize_t(size);
    }

private:
    void address(bool local, std::string& ip, int& port) const {
        sockaddr_storage storage{};
        socklen_t length = sizeof storage;
        const int got = local ? ::getsockname(fd_, reinterpret_cast<sockaddr*>(&storage), &length)
                              : ::getpeername(fd_, reinterpret_cast<sockaddr*>(&storage), &length);
        ip.clear();
        port = 0;
        char text[NI_MAXHOST] = {};
        if (got == 0 && ::getnameinfo(reinterpret_cast<sockaddr*>(&storage), length, text, sizeof text, nullptr, 0,
                                      NI_NUMERICHOST) == 0)
            ip = text;
        if (storage.ss_family == AF_INET) port = ntohs(reinterpret_cast<sockaddr_in*>(&storage)->sin_port);
        if (storage.ss_family == AF_INET6) port = ntohs(reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port);
    }
    int fd_;
};

// Requests from a string, answers into another: the fuzz target's connection.
class MemoryStream : public RequestStream {
public:
    explicit MemoryStream(const std::string& input) : input_(input) {}
    bool is_readable() const override { return true; }
    bool is_writable() const override { return true; }
    void get_remote_ip_and_port(std::string& ip, int& port) const override {
        ip = "127.0.0.1";
        port = 40000;
    }
    void get_local_ip_and_port(std::string& ip, int& port) const override {
        ip = "127.0.0.1";
        port = 8421;
    }
    socket_t socket() const override { return INVALID_SOCKET; }
    std::string output;

protected:
    ssize_t fill(std::string& into, Clock::time_point) override {
        const size_t n = std::min<size_t>(4096, input_.size() - at_);
        into.append(input_, at_, n);
        at_ += n;
        return ssize_t(n);
    }
    ssize_t send(const char* ptr, size_t size) override {
        output.append(ptr, size);
        return ssize_t(size);
    }

private:
    const std::string& input_;
    size_t at_ = 0;
};

// Answers requests from `stream` until it ends, the limits end it, or a
// request asks to close.
template <typename Serve>
void serveConnection(RequestStream& stream, const Serve& serve, const std::function<bool()>& running) {
    for (int count = 0; count < Limits::MAX_REQUESTS && running(); ++count) {
        if (!stream.awaitRequest(Limits::IDLE_SECONDS)) return;
        stream.startRequest();
        current = &stream.facts();
        bool closed = false;
        const bool ok = serve(stream, count + 1 == Limits::MAX_REQUESTS, closed);
        current = nullptr;
        const RequestFacts& facts = stream.facts();
        if (!stream.answered() && stream.started()) {
            const std::string answer =
                facts.timedOut ? rawAnswer(408, "The request did not arrive in time: send it again.")
                : facts.headersTooLarge
                    ? rawAnswer(431, "The request's headers are larger than 64 KiB, the most the studio accepts.")
                    : rawAnswer(400, "The studio could not read the request.");
            stream.write(answer.data(), answer.size());
        }
        if (facts.tooLarge || facts.closeAfter) {
            stream.endWriting();
            stream.drain();
        }
        if (!ok || closed || facts.tooLarge || facts.timedOut || facts.closeAfter) return;
    }
}

const char* reasonPhrase(int status) {
    switch (status) {
        case 400: return "Bad Request";
        case 408: return "Request Timeout";
        case 413: return "Payload Too Large";
        case 431: return "Request Header Fields Too Large";
        case 503: return "Service Unavailable";
        default: return "Error";
    }
}

std::string jsonString(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        if ((unsigned char)c >= 0x20) out += c;
    }
    return out + "\"";
}

}  // namespace

RequestFacts& currentRequest() {
    if (current) return *current;
    thread_local RequestFacts outside;
    outside = RequestFacts{};
    return outside;
}

std::string rawAnswer(int status, const std::string& sentence) {
    const std::string body = "{\"error\":" + jsonString(sentence) + "}";
    return "HTTP/1.1 " + std::to_string(status) + " " + reasonPhrase(status) +
           "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n" + body;
}

Listener::Listener() {
    new_task_queue = [] { return new httplib::ThreadPool(Limits::THREADS); };
}

bool Listener::admit(const std::string& client) {
    std::lock_guard<std::mutex> lock(mutex_);
    int& mine = clients_[client];
    if (open_ >= Limits::MAX_CONNECTIONS || mine >= Limits::MAX_PER_CLIENT) {
        if (mine == 0) clients_.erase(client);
        return false;
    }
    ++mine;
    ++open_;
    return true;
}

void Listener::leave(const std::string& client) {
    std::lock_guard<std::mutex> lock(mutex_);
    --open_;
    if (--clients_[client] <= 0) clients_.erase(client);
}

bool Listener::process_and_close_socket(socket_t sock) {
    SocketStream stream(sock);
    std::string client;
    int port = 0;
    stream.get_remote_ip_and_port(client, port);
    if (admit(client)) {
        serveConnection(
            stream,
            [this](httplib::Stream& s, bool last, bool& closed) { return process_request(s, last, closed, nullptr); },
            [this] { return is_running(); });
        leave(client);
    } else {
        // Never waits: a client that does not read its refusal loses it.
        const std::string answer =
            rawAnswer(503, "The studio has too many connections open: close some of its pages and reload this one.");
        ::send(sock, answer.data(), answer.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    }
    ::shutdown(sock, SHUT_RDWR);
    ::close(sock);
    return true;
}

std::string Listener::answerRaw(const std::string& requests) {
    MemoryStream stream(requests);
    serveConnection(
        stream, [this](httplib::Stream& s, bool last, bool& closed) { return process_request(s, last, closed, nullptr); },
        [] { return true; });
    return stream.output;
}

}  // namespace studio
