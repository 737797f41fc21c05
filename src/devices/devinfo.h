#pragma once
// The device information record: a counted bag of named values that carries
// a request's parameters to a device and the device's answer back.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <variant>

#include "frame/handle.h"

namespace vemx::devinfo {

// A cell holds nothing, a 32-bit integer, a double or a string.
using cell_t = std::variant<std::monostate, int32_t, double, std::string>;

class devinfo_t final : public frame::RefCounted {
  public:
    // Looking a key up creates it with no value, for getters as well.
    cell_t& cell(std::string_view key);

    void set_i(std::string_view key, int32_t value) { cell(key) = value; }
    void set_d(std::string_view key, double value) { cell(key) = value; }
    void set_str(std::string_view key, std::string_view value) { cell(key) = std::string(value); }

    int32_t get_i(std::string_view key) { return to_int(cell(key)); }
    double get_d(std::string_view key) { return to_double(cell(key)); }
    std::string get_str(std::string_view key) { return to_text(cell(key)); }

    const std::unordered_map<std::string, cell_t>& cells() const noexcept { return cells_; }

    static int32_t to_int(const cell_t& cell) noexcept;
    static double to_double(const cell_t& cell) noexcept;
    static std::string to_text(const cell_t& cell);

  private:
    std::unordered_map<std::string, cell_t> cells_;
};

inline void* to_handle(devinfo_t* info) noexcept {
    return frame::ToHandle(info);
}
inline devinfo_t* from_handle(void* handle) noexcept {
    return frame::FromHandle<devinfo_t>(handle);
}

// Copies text into a caller's buffer of *size bytes: whole with its NUL
// (and *size becomes the length + 1), or cut to *size - 1 bytes and
// terminated, *size unchanged.
void copy_text(std::string_view text, char* buffer, size_t* size) noexcept;

}  // namespace vemx::devinfo
