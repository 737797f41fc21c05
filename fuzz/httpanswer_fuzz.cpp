// Feeds arbitrary bytes as a device's HTTP answer, in pieces whose size the
// input's first byte picks, the way the client thread hands received data on.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "devices/devinfo.h"
#include "devices/http_answer.h"
#include "vemx/vemx.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    vemx_set_log_sink([](const char*, void*) {}, nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const size_t piece = 1 + data[0];
    ++data;
    --size;
    void* answer = vemx_devinfo_new();
    auto& record = *vemx::devinfo::from_handle(answer);
    vemx_dev_detail::http_answer::answer_reader reader;
    bool settled = false;
    for (size_t at = 0; at < size && !settled; at += piece) {
        settled = reader.feed(reinterpret_cast<const char*>(data) + at,
                              at + piece < size ? piece : size - at, record);
    }
    // A settled answer is either an error or what the JSON held; nothing
    // but "_error_" may appear when the reader is still waiting.
    if (!settled && !record.cells().empty()) std::abort();
    char text[64];
    size_t text_size = sizeof text;
    vemx_devinfo_get_json(answer, text, &text_size);
    vemx_devinfo_release(answer);
    return 0;
}
