// Connections against a device simulated on loopback: every kind of answer,
// failures of the network, the request on the wire, and the lifecycle.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "common/log_capture.h"
#include "devices/devcon.h"
#include "devices/device_sim.h"
#include "devices/devinfo.h"
#include "devices/devinfo_json.h"
#include "vemx/vemx.h"

namespace {

using namespace std::chrono_literals;
using vemx::devinfo::cell_t;
using vemx_test_dev::HttpDeviceSim;
using vemx_test_dev::send_all;
using Cells = std::unordered_map<std::string, cell_t>;
using Clock = std::chrono::steady_clock;

void* connection_to(uint16_t port, const char* address = "127.0.0.1") {
    const uint8_t mac[6] = {};
    return vemx_dev_detail::to_handle(new vemx_dev_detail::devcon_t(address, mac, 1, port, "/api"));
}

struct Con {
    explicit Con(void* handle) : h(handle) {}
    ~Con() {
        if (h) vemx_devcon_release(h);
    }
    Con(const Con&) = delete;
    Con& operator=(const Con&) = delete;
    void* h;
};

// Collects answers; each request's user pointer is one Answer.
struct Answers {
    struct Answer {
        explicit Answer(Answers* o) : owner(o) {}
        Answers* owner;
        Clock::time_point sent = Clock::now();
        Clock::duration took{};
        Cells cells;
        int calls = 0;
    };

    Answer* request(void* con, void* record) {
        std::lock_guard g(lock);
        all.emplace_back(this);
        EXPECT_NE(vemx_devcon_request(con, record, &Answers::on_answer, &all.back()), 0);
        return &all.back();
    }
    Answer* request(void* con, const std::string& case_name) {
        void* record = vemx_devinfo_new();
        vemx_devinfo_set_str(record, "case", case_name.c_str());
        Answer* a = request(con, record);
        vemx_devinfo_release(record);
        return a;
    }

    static void on_answer(void* answer, void* user) {
        auto* a = static_cast<Answer*>(user);
        std::lock_guard g(a->owner->lock);
        a->took = Clock::now() - a->sent;
        a->cells = vemx::devinfo::from_handle(answer)->cells();
        ++a->calls;
        ++a->owner->done;
        a->owner->cv.notify_all();
    }

    bool wait_for(size_t n, Clock::duration limit) {
        std::unique_lock g(lock);
        return cv.wait_for(g, limit, [&] { return done >= n; });
    }

    std::mutex lock;
    std::condition_variable cv;
    std::deque<Answer> all;
    size_t done = 0;
};

std::string http200(const std::string& body) {
    return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

HttpDeviceSim::Behaviour answer(std::string bytes) {
    return [bytes](int fd) { send_all(fd, bytes); };
}

Cells error(const char* text, Cells also = {}) {
    also["_error_"] = std::string(text);
    return also;
}

TEST(DevCon, EveryKindOfAnswerEndsItsRequestWhileOthersWait) {
    struct Case {
        const char* name;
        HttpDeviceSim::Behaviour behaviour;
        Cells expected;
        const char* log = nullptr;  // a line that must appear
    };
    const std::string big(1100000, ' ');
    const Case cases[] = {
        {"flat",
         answer(http200(R"({"a":1,"s":"x\u00e9","t":true})")),
         {{"a", 1.0}, {"s", std::string("x\xc3\xa9")}, {"t", int32_t{1}}}},
        {"empty object", answer(http200("{}")), {}},
        {"empty body", answer(http200("")), error("invalid JSON format"),
         "ERROR[vemx!dev] invalid JSON format"},
        {"trailing garbage", answer(http200(R"({"a":1} x)")),
         error("invalid JSON format", {{"a", 1.0}})},
        {"chunked",
         answer("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                "4\r\n{\"k\"\r\n5\r\n:\"v\"}\r\n0\r\n\r\n"),
         {{"k", std::string("v")}}},
        {"no length then close", answer("HTTP/1.1 200 OK\r\n\r\n{\"a\":1}"),
         error("connection reset"), "ERROR[vemx!dev] connection closed by peer"},
        {"404", answer("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n"),
         error("unexpected HTTP status code"), "ERROR[vemx!dev] HTTP status code 404, Not Found"},
        {"upgrade",
         answer("HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: "
                "Upgrade\r\n\r\n"),
         error("HTTP upgrade is not supported"), "ERROR[vemx!dev] HTTP upgrade, not support"},
        {"garbage", answer("SSH-2.0-OpenSSH_9.2\r\n"), error("HTTP parse failed"),
         "ERROR[vemx!dev] http_parser_execute() failed, 0 != 21"},
        {"slow",
         [](int fd) {
             for (char c : http200(R"({"slow":true})")) {
                 send_all(fd, std::string(1, c));
                 std::this_thread::sleep_for(15ms);
             }
         },
         {{"slow", int32_t{1}}}},
        {"never answers", [](int fd) { vemx_test_dev::drain(fd); }, error("recv timed out")},
        {"too large", answer(http200("[" + big + "]")), error("answer too large")},
        {"endless chunks",
         [](int fd) {
             send_all(fd, "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n");
             const std::string chunk = "10000\r\n" + std::string(65536, ' ') + "\r\n";
             for (int i = 0; i < 64; ++i) send_all(fd, chunk);
         },
         error("answer too large")},
    };

    vemx_test::LogCapture log;
    std::map<std::string, HttpDeviceSim::Behaviour> behaviours;
    for (const auto& c : cases) behaviours[c.name] = c.behaviour;
    HttpDeviceSim sim(behaviours);
    HttpDeviceSim closing({}, /*close_at_once=*/true);
    uint16_t refused_port = 0;
    close(vemx_test_dev::listen_loopback(1, &refused_port));
    // A listener whose one-place queue is full drops further connection
    // attempts: the connect never completes.
    uint16_t full_port = 0;
    const int full = vemx_test_dev::listen_loopback(0, &full_port);
    const int filler = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(full_port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(filler, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);

    Con con(connection_to(sim.port()));
    Con closing_con(connection_to(closing.port()));
    Con refused_con(connection_to(refused_port));
    Con full_con(connection_to(full_port));
    Con bad_address(connection_to(sim.port(), "not an address"));
    Answers answers;
    for (const auto& c : cases) answers.request(con.h, c.name);
    // Many at once, so that some closes arrive together with the connect.
    std::vector<Answers::Answer*> at_once;
    for (int i = 0; i < 32; ++i) at_once.push_back(answers.request(closing_con.h, "x"));
    auto* refused = answers.request(refused_con.h, "x");
    auto* unconnectable = answers.request(full_con.h, "x");
    auto* unparsed = answers.request(bad_address.h, "x");
    for (void* h : {con.h, closing_con.h, refused_con.h, full_con.h, bad_address.h})
        vemx_devcon_init(h);

    ASSERT_TRUE(answers.wait_for(answers.all.size(), 20s));
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].name);
        EXPECT_EQ(answers.all[i].cells, cases[i].expected);
        if (cases[i].log) {
            EXPECT_GE(log.count_containing(cases[i].log), 1u);
        }
    }
    EXPECT_GE(answers.all[std::size(cases) - 3].took, 2s);  // never answers
    for (auto* a : at_once) EXPECT_EQ(a->cells, error("connection reset"));
    EXPECT_EQ(refused->cells, error("connect timed out"));
    EXPECT_EQ(unparsed->cells, error("connect timed out"));
    EXPECT_EQ(unconnectable->cells, error("connect timed out"));
    EXPECT_GE(unconnectable->took, 5s);
    for (const auto& a : answers.all) EXPECT_EQ(a.calls, 1);
    close(filler);
    close(full);
}

TEST(DevCon, RequestGoesOutAsOnePostWithTheNonceFirst) {
    HttpDeviceSim sim({{"echo", answer(http200("{}"))}});
    Con con(connection_to(sim.port()));
    vemx_devcon_init(con.h);
    void* record = vemx_devinfo_new();
    vemx_devinfo_set_str(record, "case", "echo");
    vemx_devinfo_set_i(record, "i", 7);
    Answers answers;
    answers.request(con.h, record);
    answers.request(con.h, record);
    ASSERT_TRUE(answers.wait_for(2, 10s));

    char host[257] = {};
    gethostname(host, sizeof host - 1);
    const auto requests = sim.requests();
    ASSERT_EQ(requests.size(), 2u);
    std::set<std::string> nonces;
    for (const auto& request : requests) {
        const size_t body = request.find("\r\n\r\n") + 4;
        EXPECT_EQ(request.substr(0, body),
                  "POST /api HTTP/1.1\r\nHost: " + std::string(host) +
                      "\r\nContent-Type: application/json\r\nContent-Length: " +
                      std::to_string(request.size() - body) + "\r\n\r\n");
        const size_t at = body + 11;  // after {"xedaid":"
        const std::string nonce = request.substr(at, request.find('"', at) - at);
        nonces.insert(nonce);
        EXPECT_EQ(request.substr(body),
                  vemx::devinfo_json::request_body(*vemx::devinfo::from_handle(record), nonce));
    }
    EXPECT_EQ(nonces.size(), 2u) << "a fresh nonce for each request";
    vemx_devinfo_release(record);
}

TEST(DevCon, LargeRequestsGoOutWholeOrEndWhenTheDeviceTakesNothing) {
    HttpDeviceSim sim({{"big", answer(http200("{}"))}});
    // Completes connections but never accepts or reads them.
    uint16_t stalled_port = 0;
    const int stalled = vemx_test_dev::listen_loopback(4, &stalled_port);
    Con con(connection_to(sim.port()));
    Con stalled_con(connection_to(stalled_port));
    Answers answers;
    for (auto [h, bytes] : {std::pair{con.h, size_t{4} << 20}, {stalled_con.h, size_t{64} << 20}}) {
        void* record = vemx_devinfo_new();
        vemx_devinfo_set_str(record, "case", "big");
        vemx_devinfo_set_str(record, "blob", std::string(bytes, 'b').c_str());
        answers.request(h, record);
        vemx_devinfo_release(record);
        vemx_devcon_init(h);
    }
    ASSERT_TRUE(answers.wait_for(2, 20s));
    EXPECT_EQ(answers.all[0].cells, Cells{});
    ASSERT_EQ(sim.requests().size(), 1u);
    const std::string request = sim.requests()[0];
    EXPECT_EQ(request.size() - request.find("\r\n\r\n") - 4,
              std::stoul(request.substr(request.find("Content-Length: ") + 16)));
    EXPECT_EQ(answers.all[1].cells, error("send failed"));
    close(stalled);
}

TEST(DevCon, LifecycleLinesQueuedRequestsAndInitTwice) {
    vemx_test::LogCapture log;
    HttpDeviceSim sim({{"ok", answer(http200(R"({"r":1})"))}});
    {
        Con con(connection_to(sim.port()));
        Answers answers;
        answers.request(con.h, "ok");
        EXPECT_FALSE(answers.wait_for(1, 100ms));  // nothing runs before init
        vemx_devcon_init(con.h);
        vemx_devcon_init(con.h);
        ASSERT_TRUE(answers.wait_for(1, 10s));
        EXPECT_EQ(answers.all[0].cells, (Cells{{"r", 1.0}}));
    }
    // The second init may log before the thread does.
    auto lines = log.lines();
    std::sort(lines.begin(), lines.end() - 1);
    EXPECT_EQ(lines, (std::vector<std::string>{"ERROR[vemx!dev] inited already\n",
                                               "INFO[vemx!dev] HTTP client thread starts.\n",
                                               "INFO[vemx!dev] HTTP client thread ends.\n"}));
}

TEST(DevCon, ReleaseEndsRequestsInFlightWithoutCallbacks) {
    HttpDeviceSim sim({{"hang", [](int fd) { vemx_test_dev::drain(fd); }}});
    Answers answers;
    Clock::duration took{};
    {
        Con con(connection_to(sim.port()));
        vemx_devcon_init(con.h);
        for (int i = 0; i < 8; ++i) answers.request(con.h, "hang");
        std::this_thread::sleep_for(200ms);  // all in flight
        vemx_devcon_release(con.h);
        con.h = nullptr;
        // Queued, never started: its record is dropped with the connection.
        Con never(connection_to(sim.port()));
        answers.request(never.h, "hang");
        const auto start = Clock::now();
        vemx_devcon_release(never.h);
        never.h = nullptr;
        took = Clock::now() - start;
    }
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(answers.done, 0u);
    EXPECT_LT(took, 1s);
}

TEST(DevCon, CallbackMayDropTheLastReference) {
    HttpDeviceSim sim({{"ok", answer(http200("{}"))}});
    struct Ctx {
        void* con;
        std::mutex m;
        std::condition_variable cv;
        bool called = false;
    } ctx;
    ctx.con = connection_to(sim.port());
    vemx_devcon_init(ctx.con);
    void* record = vemx_devinfo_new();
    vemx_devinfo_set_str(record, "case", "ok");
    vemx_devcon_request(
        ctx.con, record,
        [](void*, void* user) {
            auto* c = static_cast<Ctx*>(user);
            vemx_devcon_release(c->con);
            std::lock_guard g(c->m);
            c->called = true;
            c->cv.notify_all();
        },
        &ctx);
    vemx_devinfo_release(record);
    std::unique_lock g(ctx.m);
    EXPECT_TRUE(ctx.cv.wait_for(g, 10s, [&] { return ctx.called; }));
    g.unlock();
    std::this_thread::sleep_for(100ms);  // the thread ends on its own
}

TEST(DevCon, IdentityGettersCutAndKeepTheSize) {
    const uint8_t mac[6] = {1, 2, 3, 4, 5, 6};
    Con con(vemx_dev_detail::to_handle(
        new vemx_dev_detail::devcon_t("192.168.10.20", mac, 77, 8080, "/device/cmd")));
    uint8_t got[8] = {};
    size_t size = 4;
    vemx_devcon_get_mac_address(con.h, got, &size);
    EXPECT_EQ(std::vector<uint8_t>(got, got + 8), (std::vector<uint8_t>{1, 2, 3, 4, 0, 0, 0, 0}));
    EXPECT_EQ(size, 4u);
    char text[64];
    size = 8;
    vemx_devcon_get_ip(con.h, text, &size);
    EXPECT_STREQ(text, "192.168");
    EXPECT_EQ(size, 8u);
    size = sizeof text;
    vemx_devcon_get_uri(con.h, text, &size);
    EXPECT_STREQ(text, "/device/cmd");
    EXPECT_EQ(size, sizeof text);
}

TEST(DevCon, RequestCommandSendsTypedValuesAndPrintsTheAnswer) {
    HttpDeviceSim sim({{"cmd", answer(http200(R"({"ok":1,"who":"sim","n":-2})"))}});
    const std::string out = vemx_test::run_command(std::string(VEMX_TOOL) + " request 127.0.0.1 " +
                                                   std::to_string(sim.port()) +
                                                   " /api case=cmd n=5 x=1.5 s=5a 2>/dev/null");
    // The answer's members in the record's own order.
    EXPECT_NE(out.find(R"("ok":1.000000)"), std::string::npos) << out;
    EXPECT_NE(out.find(R"("who":"sim")"), std::string::npos) << out;
    EXPECT_NE(out.find(R"("n":-2)"), std::string::npos) << out;
    ASSERT_EQ(sim.requests().size(), 1u);
    const std::string request = sim.requests()[0];
    for (const char* member : {R"("n":5)", R"("x":1.500000)", R"("s":"5a")"})
        EXPECT_NE(request.find(member), std::string::npos) << member;
}

}  // namespace
