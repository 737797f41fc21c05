// vemx request: sends one request to a device and prints the answer record
// as JSON.  Values that read as integers or numbers go out as such, anything
// else as a string.
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "command.h"
#include "vemx/vemx.h"

namespace {

struct Reply {
    std::mutex lock;
    std::condition_variable cv;
    bool done = false;
    bool failed = false;
    std::string json;

    static void OnAnswer(void* answer, void* user) {
        auto* r = static_cast<Reply*>(user);
        std::vector<char> buf(4096);
        for (;;) {
            size_t size = buf.size();
            vemx_devinfo_get_json(answer, buf.data(), &size);
            if (size < buf.size()) break;
            buf.resize(buf.size() * 4);
        }
        char error[8];
        size_t error_size = sizeof error;
        vemx_devinfo_get_str(answer, "_error_", error, &error_size);
        std::lock_guard g(r->lock);
        r->json = buf.data();
        r->failed = error[0] != '\0';
        r->done = true;
        r->cv.notify_all();
    }
};

void set_value(void* record, const std::string& key, const std::string& value) {
    const char* first = value.data();
    const char* last = first + value.size();
    int32_t i = 0;
    auto ri = std::from_chars(first, last, i);
    if (!value.empty() && ri.ec == std::errc() && ri.ptr == last) {
        vemx_devinfo_set_i(record, key.c_str(), i);
        return;
    }
    double d = 0;
    auto rd = std::from_chars(first, last, d);
    if (!value.empty() && rd.ec == std::errc() && rd.ptr == last) {
        vemx_devinfo_set_d(record, key.c_str(), d);
        return;
    }
    vemx_devinfo_set_str(record, key.c_str(), value.c_str());
}

int run_request(const std::vector<std::string>& args) {
    if (args.size() < 3) {
        std::fprintf(stderr, "usage: vemx request IP PORT URI [key=value...]\n");
        return 2;
    }
    char* end = nullptr;
    const long port = std::strtol(args[1].c_str(), &end, 10);
    if (*end != '\0' || port <= 0 || port > 65535) {
        std::fprintf(stderr, "vemx request: bad port %s\n", args[1].c_str());
        return 2;
    }
    void* record = vemx_devinfo_new();
    for (size_t i = 3; i < args.size(); ++i) {
        const size_t eq = args[i].find('=');
        if (eq == std::string::npos || eq == 0) {
            std::fprintf(stderr, "vemx request: expected key=value, got %s\n", args[i].c_str());
            vemx_devinfo_release(record);
            return 2;
        }
        set_value(record, args[i].substr(0, eq), args[i].substr(eq + 1));
    }
    void* con = vemx_devcon_new2(args[0].c_str(), static_cast<uint16_t>(port), args[2].c_str());
    Reply reply;
    vemx_devcon_init(con);
    vemx_devcon_request(con, record, &Reply::OnAnswer, &reply);
    vemx_devinfo_release(record);
    bool answered;
    {
        // A request that starts ends within the connect and answer deadlines;
        // one that cannot start is only logged.
        std::unique_lock g(reply.lock);
        answered = reply.cv.wait_for(g, std::chrono::seconds(10), [&] { return reply.done; });
    }
    vemx_devcon_release(con);
    if (!answered) {
        std::fprintf(stderr, "vemx request: the request could not be sent\n");
        return 1;
    }
    std::printf("%s\n", reply.json.c_str());
    return reply.failed ? 1 : 0;
}

}  // namespace

VEMX_TOOL_COMMAND("request",
                  "IP PORT URI [key=value...]  send one request to a device, print the answer",
                  run_request);
