// texgen studio against hostile and clumsy clients, over raw sockets on
// loopback: bytes that are no valid request or no UTF-8, connections that
// stay idle or drip their headers, bodies without a length, in chunks or
// compressed, links and pipes planted in the folder, names the studio keeps
// for itself, numbers no slot holds, an output nobody reads, and renders
// asked for faster than they can be made. Each gets its status and sentence,
// and the studio goes on answering.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>

#include "studio_process.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;
using Clock = std::chrono::steady_clock;
using studiotest::Studio;

const std::string SHIPPED = std::string(TEX_SOURCE_DIR) + "/data/Testin3.tex";

int connectTo(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(uint16_t(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval timeout{120, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

void sendAll(int fd, const std::string& bytes) {
    for (size_t done = 0; done < bytes.size();) {
        const ssize_t sent = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (sent <= 0) return;  // the studio may close early on a refusal
        done += size_t(sent);
    }
}

std::string readUntilClosed(int fd) {
    std::string answer;
    char chunk[65536];
    for (ssize_t got; (got = recv(fd, chunk, sizeof chunk, 0)) > 0;) answer.append(chunk, size_t(got));
    return answer;
}

// A raw answer: its status and the JSON of its body.
struct Answer {
    int status = 0;
    std::string head, body;
    json error() const { return json::parse(body, nullptr, false); }
};

Answer parse(const std::string& raw) {
    Answer answer;
    const size_t end = raw.find("\r\n\r\n");
    if (raw.rfind("HTTP/1.1 ", 0) != 0 || end == std::string::npos) return answer;
    answer.status = std::atoi(raw.c_str() + 9);
    answer.head = raw.substr(0, end);
    answer.body = raw.substr(end + 4);
    return answer;
}

// Sends `request` on a fresh connection and reads until the studio closes it
// (the requests here say Connection: close or are refused).
Answer ask(int port, const std::string& request) {
    const int fd = connectTo(port);
    if (fd < 0) return {};
    sendAll(fd, request);
    const std::string raw = readUntilClosed(fd);
    close(fd);
    return parse(raw);
}

std::string request(const Studio& studio, const std::string& method, const std::string& target,
                    const std::string& extra = "", const std::string& body = "") {
    std::string text = method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(studio.port) +
                       "\r\nX-Studio-Token: " + studio.token + "\r\nConnection: close\r\n" + extra;
    if (!body.empty() && extra.find("Transfer-Encoding") == std::string::npos &&
        extra.find("Content-Length") == std::string::npos)
        text += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    return text + "\r\n" + body;
}

void expectSentence(const Answer& answer, int status, const std::string& mention) {
    SCOPED_TRACE(mention);
    EXPECT_EQ(answer.status, status) << answer.head << "\n" << answer.body;
    const json error = answer.error();
    ASSERT_TRUE(error.is_object() && error.contains("error")) << answer.body;
    const std::string message = error["error"];
    EXPECT_NE(message.find(mention), std::string::npos) << message;
    EXPECT_EQ(message.back(), '.') << message;
}

bool alive(Studio& studio) {
    return kill(studio.running.pid, 0) == 0 && ask(studio.port, request(studio, "GET", "/api/state")).status == 200;
}

int64_t revisionOf(Studio& studio) { return studio.get("/api/state")["revision"]; }

TEST(HostileClient, AnyBytesGetASentenceAndNothingEndsTheStudio) {
    programs::TemporaryDirectory folder;
    std::ofstream(folder.path + "/caf\xe9.tex", std::ios::binary) << programs::readFile(SHIPPED);
    Studio studio(folder.path);
    const std::string host = "Host: 127.0.0.1:" + std::to_string(studio.port) + "\r\n";

    // Invalid UTF-8 in the path, without a token, as an image tag of any page sends it.
    expectSentence(ask(studio.port, "GET /%ff HTTP/1.1\r\n" + host + "Connection: close\r\n\r\n"), 404, "nothing");
    expectSentence(ask(studio.port, request(studio, "POST", "/api/edit", "Origin: http://\xff\xfe\r\n", "{}")), 403,
                   "another site");
    expectSentence(ask(studio.port, request(studio, "GET", "/api/export/cpp?function=%ff%fe")), 400,
                   "C++ function name");
    expectSentence(ask(studio.port, request(studio, "GET", "/api/export/cpp?function=int")), 400, "keyword");
    const Answer files = ask(studio.port, request(studio, "GET", "/api/files"));
    EXPECT_EQ(files.status, 200);
    EXPECT_TRUE(json::parse(files.body, nullptr, false).is_object()) << "a name that is not UTF-8 is left out";
    expectSentence(ask(studio.port, request(studio, "POST", "/api/edit", "", "{\"command\":\"\xff\"}")), 400,
                   "reload");

    // Requests that are no requests at all.
    for (const std::string& garbage :
         {std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11), std::string("GET /\0x HTTP/1.1\r\n\r\n", 20),
          std::string("GET / HTTP/1.1\r\nHost: \xff\xfe\r\nNoColon\r\n\r\n"),
          "GET /" + std::string(9000, 'a') + " HTTP/1.1\r\n" + host + "\r\n",
          "GET /" + std::string(600, 'a') + ".js HTTP/1.1\r\n" + host + "Connection: close\r\n\r\n",
          "GET / HTTP/1.1\r\n" + host + "X-Long: " + std::string(70000, 'x') + "\r\n\r\n",
          "BREW /api/state HTTP/1.1\r\n" + host + "Connection: close\r\n\r\n"}) {
        const Answer answer = ask(studio.port, garbage);
        EXPECT_TRUE(answer.status == 0 || (answer.status >= 400 && answer.error().is_object())) << answer.body;
    }
    EXPECT_TRUE(alive(studio));
}

TEST(HostileClient, SlowAndIdleConnectionsCannotLockThePageOut) {
    programs::TemporaryDirectory folder;
    Studio studio(folder.path);
    std::vector<int> held;
    for (int i = 0; i < 64; ++i) {
        const int fd = connectTo(studio.port);
        ASSERT_GE(fd, 0);
        if (i % 2) sendAll(fd, "GET / HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(studio.port) + "\r\nX-Sl");
        held.push_back(fd);
    }
    // One that drips a header byte every second.
    std::atomic<bool> dripping{true};
    const int drip = connectTo(studio.port);
    std::thread dripper([&] {
        sendAll(drip, "GET / HTTP/1.1\r\n");
        while (dripping && send(drip, "x", 1, MSG_NOSIGNAL) == 1) std::this_thread::sleep_for(std::chrono::seconds(1));
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto started = Clock::now();
    EXPECT_EQ(ask(studio.port, request(studio, "GET", "/")).status, 200);
    EXPECT_EQ(ask(studio.port, request(studio, "GET", "/api/state")).status, 200);
    EXPECT_LT(Clock::now() - started, std::chrono::seconds(5)) << "answered beside 65 connections held open";

    // The dripping client is answered 408 once the header deadline passes, not when it stops.
    const std::string dripped = readUntilClosed(drip);
    dripping = false;
    dripper.join();
    close(drip);
    expectSentence(parse(dripped), 408, "in time");
    EXPECT_LT(Clock::now() - started, std::chrono::seconds(12));
    // Idle ones are let go, half-sent ones answered 408.
    for (size_t i = 0; i < held.size(); ++i) {
        const Answer answer = parse(readUntilClosed(held[i]));
        EXPECT_EQ(answer.status, i % 2 ? 408 : 0) << i;
        close(held[i]);
    }
    EXPECT_LT(Clock::now() - started, std::chrono::seconds(20));

    // Beyond the limit of connections, a refusal at once.
    held.clear();
    for (int i = 0; i < 100; ++i) held.push_back(connectTo(studio.port));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    int refused = 0;
    for (int fd : held) {
        char head[4096] = {};
        const ssize_t got = recv(fd, head, sizeof head - 1, MSG_DONTWAIT);
        if (got > 0 && parse(head).status == 503) {
            if (refused++ == 0) expectSentence(parse(head), 503, "too many connections");
        }
        close(fd);
    }
    EXPECT_GE(refused, 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_TRUE(alive(studio));
}

TEST(HostileClient, BodiesAreBoundedWhateverTheirFraming) {
    programs::TemporaryDirectory folder;
    Studio studio(folder.path);
    std::string chunks;
    for (int i = 0; i < 64; ++i) chunks += "8000\r\n" + std::string(0x8000, ' ') + "\r\n";
    expectSentence(ask(studio.port, request(studio, "POST", "/api/edit", "Transfer-Encoding: chunked\r\n", chunks + "0\r\n\r\n")),
                   413, "1 MiB");
    expectSentence(ask(studio.port, request(studio, "POST", "/api/edit", "Content-Encoding: gzip\r\n", "\x1f\x8b")), 415,
                   "compressed");
    expectSentence(ask(studio.port, request(studio, "POST", "/api/edit")), 411, "Content-Length");
    expectSentence(ask(studio.port, request(studio, "POST", "/api/edit", "Content-Length: -1\r\n", "{}")), 400,
                   "Content-Length");
    expectSentence(ask(studio.port, request(studio, "POST", "/api/edit", "Content-Length: 2000000\r\n", "{}")), 413,
                   "1 MiB");
    expectSentence(ask(studio.port, request(studio, "POST", "/api/edit", "Content-Length: 2\r\nContent-Length: 3\r\n", "{}")),
                   400, "more than once");
    // A small chunked body is read as any other.
    const Answer chunked = ask(studio.port, request(studio, "POST", "/api/edit", "Transfer-Encoding: chunked\r\n",
                                                         "5\r\n{\"com\r\n11\r\nmand\":\"undo\",\"rev\r\nd\r\nision\":1}   \r\n0\r\n\r\n"));
    expectSentence(chunked, 400, "nothing to undo");
    EXPECT_TRUE(alive(studio));
}

TEST(HostileClient, FilesAreWrittenOnlyInsideTheFolderAndOnlyOverPlainFiles) {
    programs::TemporaryDirectory folder, outside;
    fs::copy_file(SHIPPED, folder.path + "/doc.tex");
    // Links planted where a studio used to put its temporary files, and a
    // stale temporary file left by a killed one.
    for (const std::string name : {"doc.tex.tmp0", "doc.tex.recovery.tmp0", "doc.tex.tmp-abc123"})
        fs::create_symlink(outside.path + "/" + name, folder.path + "/" + name);
    std::ofstream(folder.path + "/doc.tex.tmp7") << "stale";
    std::ofstream(folder.path + "/other.tex.recovery") << "the author's own";
    ASSERT_EQ(mkfifo((folder.path + "/pipe.tex").c_str(), 0600), 0);
    fs::create_symlink("/dev/zero", folder.path + "/zero.tex");
    Studio studio(folder.path, {"doc.tex"});
    for (const std::string name : {"doc.tex.tmp0", "doc.tex.recovery.tmp0", "doc.tex.tmp-abc123", "doc.tex.tmp7"})
        EXPECT_FALSE(fs::exists(fs::symlink_status(folder.path + "/" + name))) << name << " is cleared at start";
    for (const std::string name : {"doc.tex.tmp0", "doc.tex.recovery.tmp0"})
        fs::create_symlink(outside.path + "/" + name, folder.path + "/" + name);

    studio.edit({{"command", "set"}, {"layer", 0}, {"index", 0}, {"argument", 1}, {"value", "32"}});
    EXPECT_EQ(studio.post("/api/save", json::object())->status, 200);
    EXPECT_TRUE(fs::is_empty(outside.path)) << "nothing is written outside the folder";
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(folder.path + "/doc.tex")));

    // Names the studio keeps for itself, and what they would have cost.
    const auto save = [&](const json& name, bool overwrite) {
        return ask(studio.port, request(studio, "POST", "/api/save", "", json{{"name", name}, {"overwrite", overwrite}}.dump()));
    };
    for (const std::string name : {"doc.tex.recovery", "doc.tex.lock", "x.tmp3", "x.TMP-abc123"})
        expectSentence(save(name, true), 400, "keeps for its own");
    expectSentence(save("other.tex", false), 409, "recovery file");
    EXPECT_EQ(programs::readFile(folder.path + "/other.tex.recovery"), "the author's own");

    // Pipes and devices are refused at once, never waited on.
    const auto started = Clock::now();
    expectSentence(ask(studio.port, request(studio, "POST", "/api/open", "", R"({"name":"pipe.tex"})")), 400,
                   "not a plain file");
    expectSentence(save("pipe.tex", true), 400, "not a plain file");
    expectSentence(save("zero.tex", true), 400, "outside the folder");
    expectSentence(ask(studio.port, request(studio, "POST", "/api/open", "", R"({"name":"zero.tex"})")), 400,
                   "outside the folder");
    EXPECT_LT(Clock::now() - started, std::chrono::seconds(5));

    // Names: NUL, control characters, length with room for the recovery file's temporary name.
    const Answer nul = save(std::string("a\0b.tex", 7), true);
    expectSentence(nul, 400, "NUL");
    EXPECT_EQ(nul.body.find("a\\u0000"), std::string::npos);
    expectSentence(save("line\r\nbreak.tex", true), 400, "control characters");
    expectSentence(save(std::string(232, 'n') + ".tex", true), 400, "too long");
    EXPECT_EQ(save(std::string(231, 'n') + ".tex", true).status, 200);
    // A name Windows or macOS cannot hold is not saved; opened from the folder, it is quoted in downloads.
    expectSentence(save("q\"uote.tex", true), 400, "every system");
    fs::copy_file(SHIPPED, folder.path + "/q\"uote.tex");
    EXPECT_EQ(ask(studio.port, request(studio, "POST", "/api/open", "", R"({"name":"q\"uote.tex"})")).status, 200);
    const Answer listing = ask(studio.port, request(studio, "GET", "/api/export/listing"));
    EXPECT_NE(listing.head.find("Content-Disposition: attachment; filename=\"q_uote.listing\"; "
                                "filename*=UTF-8''q%22uote.listing"),
              std::string::npos)
        << listing.head;
    EXPECT_TRUE(alive(studio));
}

TEST(HostileClient, NumbersNoSlotHoldsAreRefusedAndNothingIsStored) {
    programs::TemporaryDirectory folder;
    fs::copy_file(SHIPPED, folder.path + "/doc.tex");
    Studio studio(folder.path, {"doc.tex"});
    const int64_t before = revisionOf(studio);
    const auto edit = [&](json body) {
        body["revision"] = before;
        return ask(studio.port, request(studio, "POST", "/api/edit", "", body.dump()));
    };
    // Layer 0's first record is perlinNoise(dst, step, seed, amplitude, ...): argument 3 is an integer.
    const json set = {{"command", "set"}, {"layer", 0}, {"index", 0}};
    for (const std::string value : {std::string("1e309"), std::string("-1e309"), std::string(5000, '9'), "-" + std::string(5000, '9') + ".5"}) {
        json body = set;
        body["argument"] = 3;
        body["value"] = value;
        expectSentence(edit(body), 400, "between");
    }
    for (const json& field : {json{{"layer", 4294967300}}, json{{"layer", true}}, json{{"index", 4.9}},
                              json{{"index", 1.5}}, json{{"argument", "1"}}, json{{"layer", -1}}}) {
        json body = set;
        body["argument"] = 1;
        body["value"] = "8";
        body.update(field);
        expectSentence(edit(body), 400, "must be");
    }
    expectSentence(edit({{"command", "insert"}, {"layer", 0}, {"index", 0}, {"opcode", 4294967300}}), 400, "whole number");
    expectSentence(edit({{"command", "set"}, {"layer", 0}, {"index", 0}, {"argument", 1}, {"value", 8}}), 400, "text");
    expectSentence(edit({{"command", "recovery"}, {"restore", 1}}), 400, "true or false");
    EXPECT_EQ(revisionOf(studio), before) << "nothing was stored";
}

TEST(HostileClient, AnOutputNobodyReadsStopsNothing) {
    programs::TemporaryDirectory folder;
    // A pipe already full: every line the studio prints would block it.
    int output[2];
    ASSERT_EQ(pipe(output), 0);
    fcntl(output[1], F_SETFL, O_NONBLOCK);
    const std::string block(4096, 'x');
    while (write(output[1], block.data(), block.size()) > 0) {
    }
    fcntl(output[1], F_SETFL, 0);
    // A free port, found by binding one and letting it go.
    const int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
    const int port = ntohs(address.sin_port);
    close(probe);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, output[1], 1);
    posix_spawn_file_actions_addclose(&actions, output[0]);
    posix_spawn_file_actions_addchdir_np(&actions, folder.path.c_str());
    const std::string portText = std::to_string(port);
    std::vector<char*> argv = {const_cast<char*>(TEX_TEXGEN), const_cast<char*>("studio"), const_cast<char*>("--no-open"),
                               const_cast<char*>("--port"), const_cast<char*>(portText.c_str()), nullptr};
    pid_t pid = -1;
    ASSERT_EQ(posix_spawn(&pid, TEX_TEXGEN, &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(output[1]);

    // The token is in the line nobody reads; every request without it is still answered.
    Studio studio;
    studio.port = port;
    studio.running.pid = pid;
    Answer answer;
    for (int wait = 0; wait < 250 && answer.status == 0; ++wait) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        answer = ask(port, request(studio, "GET", "/api/state"));
    }
    expectSentence(answer, 403, "token");
    const auto started = Clock::now();
    for (int i = 0; i < 50; ++i) EXPECT_EQ(ask(port, request(studio, "GET", "/")).status, 200);
    EXPECT_LT(Clock::now() - started, std::chrono::seconds(10));
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    studio.running.pid = -1;
    close(output[0]);
}

TEST(HostileClient, RendersAreSupersededNotQueued) {
    programs::TemporaryDirectory folder;
    fs::copy_file(SHIPPED, folder.path + "/doc.tex");
    Studio studio(folder.path, {"doc.tex"});
    const auto render = [&](const std::string& path) { return ask(studio.port, request(studio, "GET", path)); };
    // Large previews asked for at once: the newest wins, the others are abandoned.
    std::vector<std::future<Answer>> large;
    for (int i = 0; i < 6; ++i)
        large.push_back(std::async(std::launch::async, render, "/api/render?revision=0&layer=" + std::to_string(i % 5) +
                                                               "&width=4096&height=2048"));
    // And an export beside them.
    auto exported = std::async(std::launch::async, render, "/api/export/png?layer=4&width=512&height=512");
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    for (int round = 0; round < 3; ++round) {
        const auto started = Clock::now();
        const Answer preview = render("/api/render?revision=0&layer=4&width=256&height=256");
        EXPECT_EQ(preview.status, 200);
        EXPECT_EQ(preview.body.size(), size_t(256 * 256 * 3 + 5 * 64 * 64 * 3));
        EXPECT_LT(Clock::now() - started, std::chrono::seconds(5)) << "a small preview waits for no large render";
    }
    // All but the newest are answered at once; the newest may still render
    // (slowly in a sanitized build): the studio is stopped before waiting for it.
    int superseded = 0;
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    for (auto& answer : large) {
        if (answer.wait_until(deadline) != std::future_status::ready) continue;
        const Answer done = answer.get();
        if (done.status != 409) continue;
        expectSentence(done, 409, "abandoned");
        EXPECT_TRUE(done.error().value("superseded", false));
        ++superseded;
    }
    EXPECT_GE(superseded, 5);
    const Answer png = exported.get();
    EXPECT_EQ(png.status, 200);
    EXPECT_EQ(png.body.substr(0, 4), "\x89PNG");
    studio.stop(SIGKILL);
}

}  // namespace
