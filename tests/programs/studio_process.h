// A real `texgen studio --no-open --port 0` started in a folder for the
// tests that drive it over HTTP on loopback, and what they share.
#pragma once

#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>

#include <nlohmann/json.hpp>
#include <regex>
#include <thread>

#include "process.h"

namespace studiotest {

using json = nlohmann::json;

// A running studio: its process, port and token.
struct Studio {
    Studio() = default;  // started by the test itself
    explicit Studio(const std::string& folder, std::vector<std::string> arguments = {}) {
        programs::Launch launch;
        launch.arguments = {TEX_TEXGEN, "studio", "--no-open", "--port", "0"};
        launch.arguments.insert(launch.arguments.end(), arguments.begin(), arguments.end());
        launch.directory = folder;
        running = programs::start(launch);
        const std::regex line("^Texture studio: http://127\\.0\\.0\\.1:(\\d+)/#token=([0-9a-f]{32})\n");
        for (int wait = 0; wait < 500; ++wait) {
            std::smatch match;
            const std::string out = programs::readFile(running.outFile);
            if (std::regex_search(out, match, line)) {
                port = std::stoi(match[1]);
                token = match[2];
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        ADD_FAILURE() << "texgen studio printed no address: " << programs::readFile(running.errFile);
    }
    ~Studio() {
        if (running.pid > 0) kill(running.pid, SIGKILL);
        if (running.pid > 0) programs::finish(running, std::chrono::seconds(10));
    }
    programs::Outcome stop(int signal = SIGTERM) {
        kill(running.pid, signal);
        return programs::finish(running, std::chrono::seconds(20));
    }

    httplib::Client client() const {
        httplib::Client client("127.0.0.1", port);
        client.set_read_timeout(60, 0);
        return client;
    }
    httplib::Headers headers() const { return {{"X-Studio-Token", token}}; }
    json get(const std::string& path) {
        auto result = client().Get(path.c_str(), headers());
        EXPECT_TRUE(result && result->status == 200) << path << ": " << (result ? result->body : "no answer");
        return result ? json::parse(result->body, nullptr, false) : json();
    }
    httplib::Result post(const std::string& path, const json& body) {
        return client().Post(path.c_str(), headers(), body.dump(), "application/json");
    }
    // An edit on the current revision; answers the new state.
    json edit(json body) {
        body["revision"] = get("/api/state")["revision"];
        auto result = post("/api/edit", body);
        EXPECT_TRUE(result && result->status == 200) << body.dump() << ": " << (result ? result->body : "no answer");
        return result ? json::parse(result->body, nullptr, false) : json();
    }
    std::string render(int layer, int width, int height) {
        const std::string path = "/api/render?revision=0&layer=" + std::to_string(layer) + "&width=" +
                                 std::to_string(width) + "&height=" + std::to_string(height);
        auto result = client().Get(path.c_str(), headers());
        EXPECT_TRUE(result && result->status == 200);
        return result ? result->body.substr(0, size_t(width) * height * 3) : "";
    }

    programs::Running running;
    int port = 0;
    std::string token;
};

inline programs::Outcome run(const std::vector<std::string>& arguments, const std::string& folder = "") {
    programs::Launch launch;
    launch.arguments = arguments;
    launch.directory = folder;
    return programs::run(launch, std::chrono::seconds(60));
}

// A refusal: its status, and one sentence in {"error"} that mentions `mention`.
inline void expectRefusal(const httplib::Result& result, int status, const std::string& mention) {
    SCOPED_TRACE(mention);
    ASSERT_TRUE(result) << "no answer";
    EXPECT_EQ(result->status, status) << result->body;
    const json body = json::parse(result->body, nullptr, false);
    ASSERT_TRUE(body.is_object() && body.contains("error")) << result->body;
    const std::string message = body["error"];
    EXPECT_NE(message.find(mention), std::string::npos) << message;
    EXPECT_EQ(message.back(), '.') << "one sentence: " << message;
    EXPECT_EQ(message.find('\n'), std::string::npos) << message;
}

}  // namespace studiotest
