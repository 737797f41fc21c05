// Maps arbitrary bytes as an answer body onto a record, then checks that the
// record reads back in every form and writes out as JSON that parses again
// to the same record.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "devices/devinfo.h"
#include "devices/devinfo_json.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using vemx::devinfo::devinfo_t;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    devinfo_t first;
    vemx::devinfo_json::fill_from_json(first, text);
    for (const auto& [key, cell] : first.cells()) {
        volatile int32_t i = devinfo_t::to_int(cell);
        volatile double d = devinfo_t::to_double(cell);
        (void)i;
        (void)d;
        if (devinfo_t::to_text(cell).size() > 400 + text.size()) std::abort();
    }
    const std::string json = vemx::devinfo_json::record_json(first);
    devinfo_t second;
    if (!vemx::devinfo_json::fill_from_json(second, json)) std::abort();
    // Every member survives the trip (doubles print with six decimals, so
    // only the set of keys is compared).
    if (second.cells().size() != first.cells().size()) std::abort();
    for (const auto& [key, cell] : first.cells())
        if (!second.cells().count(key)) std::abort();
    return 0;
}
