#include "devices/devinfo.h"

#include <locale.h>
#include <stdlib.h>

#include <charconv>
#include <climits>
#include <cmath>
#include <cstring>

#include "devices/devinfo_json.h"
#include "vemx/vemx_devinfo.h"

namespace vemx::devinfo {

namespace {

// Numbers are read and written the same way whatever locale the host set.
locale_t c_locale() noexcept {
    static const locale_t loc = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return loc;
}

struct to_int_visitor {
    int32_t operator()(std::monostate) const noexcept { return 0; }
    int32_t operator()(int32_t v) const noexcept { return v; }
    int32_t operator()(double v) const noexcept {
        // Also false for NaN.
        if (v > -2147483649.0 && v < 2147483648.0) return static_cast<int32_t>(v);
        return INT32_MIN;
    }
    int32_t operator()(const std::string& s) const noexcept {
        const long long v = strtoll_l(s.c_str(), nullptr, 10, c_locale());
        if (v < INT32_MIN) return INT32_MIN;
        if (v > INT32_MAX) return INT32_MAX;
        return static_cast<int32_t>(v);
    }
};

struct to_double_visitor {
    double operator()(std::monostate) const noexcept { return 0.0; }
    double operator()(int32_t v) const noexcept { return v; }
    double operator()(double v) const noexcept { return v; }
    double operator()(const std::string& s) const noexcept {
        return strtod_l(s.c_str(), nullptr, c_locale());
    }
};

}  // namespace

cell_t& devinfo_t::cell(std::string_view key) {
    auto it = cells_.find(std::string(key));
    if (it == cells_.end()) it = cells_.emplace(std::string(key), cell_t{}).first;
    return it->second;
}

int32_t devinfo_t::to_int(const cell_t& cell) noexcept {
    return std::visit(to_int_visitor{}, cell);
}

double devinfo_t::to_double(const cell_t& cell) noexcept {
    return std::visit(to_double_visitor{}, cell);
}

std::string devinfo_t::to_text(const cell_t& cell) {
    // Large enough for any double in fixed notation with six decimals.
    char buf[400];
    if (const auto* i = std::get_if<int32_t>(&cell)) {
        return std::string(buf, std::to_chars(buf, buf + sizeof buf, *i).ptr);
    }
    if (const auto* d = std::get_if<double>(&cell)) {
        return std::string(
            buf, std::to_chars(buf, buf + sizeof buf, *d, std::chars_format::fixed, 6).ptr);
    }
    if (const auto* s = std::get_if<std::string>(&cell)) return *s;
    return {};
}

void copy_text(std::string_view text, char* buffer, size_t* size) noexcept {
    if (!buffer || !size || *size == 0) return;
    if (text.size() + 1 <= *size) {
        std::memcpy(buffer, text.data(), text.size());
        buffer[text.size()] = '\0';
        *size = text.size() + 1;
        return;
    }
    std::memcpy(buffer, text.data(), *size - 1);
    buffer[*size - 1] = '\0';
}

}  // namespace vemx::devinfo

using vemx::devinfo::devinfo_t;
using vemx::devinfo::from_handle;
using vemx::frame::Guarded;

VEMX_EXPORT void* vemx_devinfo_new(void) {
    return Guarded("vemx_devinfo_new", static_cast<void*>(nullptr),
                   [] { return vemx::frame::NewHandle<devinfo_t>(); });
}

VEMX_EXPORT void vemx_devinfo_add_ref(void* info) {
    vemx::frame::AddRefHandle(info);
}

VEMX_EXPORT void vemx_devinfo_release(void* info) {
    vemx::frame::ReleaseHandle(info);
}

VEMX_EXPORT void vemx_devinfo_set_i(void* info, const char* key, int32_t value) {
    if (!info || !key) return;
    Guarded("vemx_devinfo_set_i", [&] { from_handle(info)->set_i(key, value); });
}

VEMX_EXPORT void vemx_devinfo_set_d(void* info, const char* key, double value) {
    if (!info || !key) return;
    Guarded("vemx_devinfo_set_d", [&] { from_handle(info)->set_d(key, value); });
}

VEMX_EXPORT void vemx_devinfo_set_str(void* info, const char* key, const char* value) {
    if (!info || !key) return;
    Guarded("vemx_devinfo_set_str",
            [&] { from_handle(info)->set_str(key, value ? std::string_view(value) : ""); });
}

VEMX_EXPORT void vemx_devinfo_get_i(void* info, const char* key, int32_t* value) {
    if (!info || !key || !value) return;
    Guarded("vemx_devinfo_get_i", [&] { *value = from_handle(info)->get_i(key); });
}

VEMX_EXPORT void vemx_devinfo_get_d(void* info, const char* key, double* value) {
    if (!info || !key || !value) return;
    Guarded("vemx_devinfo_get_d", [&] { *value = from_handle(info)->get_d(key); });
}

VEMX_EXPORT void vemx_devinfo_get_str(void* info, const char* key, char* buffer, size_t* size) {
    if (!info || !key) return;
    Guarded("vemx_devinfo_get_str",
            [&] { vemx::devinfo::copy_text(from_handle(info)->get_str(key), buffer, size); });
}

VEMX_EXPORT void vemx_devinfo_get_json(void* info, char* buffer, size_t* size) {
    if (!info) return;
    Guarded("vemx_devinfo_get_json", [&] {
        vemx::devinfo::copy_text(vemx::devinfo_json::record_json(*from_handle(info)), buffer, size);
    });
}
