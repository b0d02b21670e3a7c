// The server's threads at work: uploads while transcriptions run, two running
// together, a cancel, polls, and a stop while work is queued. make test-tsan runs it under ThreadSanitizer,
// whose reports end the server with code 66.
#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <regex>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include "tests/app/support.h"

namespace {

// The port the server printed in its address, 0 while it has printed none.
int printedPort(const Spawned &server) {
    std::smatch m;
    std::string out = fileText(server.outPath);
    return std::regex_search(out, m, std::regex(R"(http://127\.0\.0\.1:(\d+)/)")) ? std::stoi(m[1]) : 0;
}

// Uploads a recording with a tempo of 66; its id, "" when refused.
std::string upload(int port, const std::string &audio, const std::string &name) {
    httplib::Client client("127.0.0.1", port);
    client.set_read_timeout(120);
    httplib::MultipartFormDataItems items{{"audio", audio, name, "audio/wav"}, {"tempo", "66", "", ""}};
    auto res = client.Post("/api/transcriptions", items);
    if (!res || res->status != 201)
        return "";
    nlohmann::json answer = nlohmann::json::parse(res->body, nullptr, false);
    return answer.is_object() ? answer.value("id", "") : "";
}

// The state of a transcription, "" when it cannot be read.
std::string stateOf(int port, const std::string &id) {
    httplib::Client client("127.0.0.1", port);
    client.set_read_timeout(30);
    auto res = client.Get("/api/transcriptions/" + id);
    nlohmann::json view = nlohmann::json::parse(res ? res->body : "", nullptr, false);
    return view.is_object() ? view.value("state", "") : "";
}

bool ended(const std::string &state) {
    return state == "done" || state == "failed" || state == "cancelled";
}

// What a failure shows: whether the server is still there, and what it wrote on its standard error
// (a ThreadSanitizer report among it).
std::string serverState(const Spawned &server) {
    return std::string(processGone(server.pid) ? "the server is gone" : "the server still runs") +
           "; its standard error:\n" + fileText(server.errPath);
}

// Ends the server's process group when the test leaves early, so no server outlives a failure.
struct ServerGuard {
    const Spawned &server;
    bool reaped = false;
    ~ServerGuard() {
        if (!reaped) {
            kill(-server.pid, SIGKILL);
            waitCommand(server);
        }
    }
};

// The beginning of an upload whose recording then arrives a byte at a time.
std::string uploadHead(int port) {
    return "POST /api/transcriptions HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
           "\r\nContent-Type: multipart/form-data; boundary=b0undary\r\nContent-Length: 100000\r\n\r\n"
           "--b0undary\r\nContent-Disposition: form-data; name=\"audio\"; filename=\"slow.wav\"\r\n\r\n";
}

// A client that sends the beginning of a request and then one byte every 100 ms, for 30 s at most
// or until told to stop.
struct TricklingRequest {
    int fd = -1;
    std::atomic<bool> done{false};
    std::thread sender;

    TricklingRequest(int port, const std::string &head) {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd < 0 || connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
            return;
        if (send(fd, head.data(), head.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(head.size()))
            return;
        sender = std::thread([this] {
            for (int i = 0; i < 300 && !done; ++i) {
                if (send(fd, "R", 1, MSG_NOSIGNAL) != 1)
                    return;
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
        });
    }
    ~TricklingRequest() {
        done = true;
        if (sender.joinable())
            sender.join();
        if (fd >= 0)
            close(fd);
    }
};

}  // namespace

TEST(ServeThreads, UploadsCancelsPollsAndAStop) {
    ScratchDir dir;
    std::string tmp = dir.path + "tmp/";
    std::filesystem::create_directory(tmp);
    // Under ThreadSanitizer a report ends the server with code 66; the uninstrumented HTTP library's
    // inner workings are left out (tsan.supp).
    std::string tsan = "TSAN_OPTIONS=halt_on_error=1 exitcode=66 suppressions=" + std::string(SOURCE_DIR) +
                       "/tests/app/serve/tsan.supp";
    Spawned server = spawnCommand({STARTER_PATH, "serve", "--port", "0", "-j", "2"}, {"TMPDIR=" + tmp, tsan}, dir.path);
    ServerGuard guard{server};
    int port = 0;
    ASSERT_TRUE(waitUntil([&] { return (port = printedPort(server)) > 0; }, 60)) << fileText(server.errPath);
    std::string audio = fileText(std::string(SOURCE_DIR) + "/examples/prelude.wav");

    // One client thread: the HTTP library's client is not built for ThreadSanitizer, and the
    // server's threads are what is watched (its pool answers while two workers run).
    std::string a = upload(port, audio, "a.wav"), b = upload(port, audio, "b.wav"), c = upload(port, audio, "c.wav");
    ASSERT_FALSE(a.empty() || b.empty() || c.empty()) << serverState(server);
    httplib::Client client("127.0.0.1", port);
    auto cancelled = client.Delete("/api/transcriptions/" + c);
    ASSERT_TRUE(cancelled) << serverState(server);
    EXPECT_EQ(cancelled->status, 202);

    std::vector<std::string> last(3), ids{a, b, c};
    waitUntil([&] {
        for (size_t i = 0; i < ids.size(); ++i)
            last[i] = stateOf(port, ids[i]);
        return ended(last[0]) && ended(last[1]) && ended(last[2]);
    }, 240);
    ASSERT_EQ(last, (std::vector<std::string>{"done", "done", "cancelled"})) << serverState(server);

    std::string d = upload(port, audio, "d.wav");  // still running or queued when the server stops
    ASSERT_FALSE(d.empty()) << serverState(server);
    kill(server.pid, SIGTERM);
    CommandResult r = waitCommandFor(server, 120);
    guard.reaped = true;
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(folderEntries(tmp).empty());
}

// A stop does not wait for a request that arrives a byte at a time: an upload is dropped at its next
// byte, a request still in its headers is left after a grace of some seconds; the server ends with
// nothing left behind.
TEST(ServeThreads, AStopDoesNotWaitForRequestsStillArriving) {
    for (bool inHeaders : {false, true}) {
        ScratchDir dir;
        std::string tmp = dir.path + "tmp/";
        std::filesystem::create_directory(tmp);
        Spawned server = spawnCommand({STARTER_PATH, "serve", "--port", "0", "-j", "1"}, {"TMPDIR=" + tmp}, dir.path);
        ServerGuard guard{server};
        int port = 0;
        ASSERT_TRUE(waitUntil([&] { return (port = printedPort(server)) > 0; }, 60)) << fileText(server.errPath);
        TricklingRequest request(port, inHeaders ? "GET / HTTP/1.1\r\nX-Slow: " : uploadHead(port));
        ASSERT_TRUE(request.sender.joinable()) << serverState(server);
        if (!inHeaders) {  // the upload's folder is made
            ASSERT_TRUE(waitUntil([&] { return folderEntries(tmp).size() == 1 &&
                                               !folderEntries(tmp + folderEntries(tmp).front()).empty(); }, 10));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        auto stopped = std::chrono::steady_clock::now();
        kill(server.pid, SIGTERM);
        CommandResult r = waitCommandFor(server, 25);
        guard.reaped = true;
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - stopped).count();
        EXPECT_EQ(r.code, 0) << r.err;
        EXPECT_LT(seconds, inHeaders ? 15 : 3) << "the stop waited for the request";
        EXPECT_TRUE(folderEntries(tmp).empty());
    }
}
