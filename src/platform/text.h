#pragma once
// Small text helpers shared by the services.
#include <string>
#include <string_view>

namespace vemx::platform {

// Equal apart from the case of ASCII letters; independent of the locale,
// which a host may have changed.
inline bool iequals(std::string_view a, std::string_view b) noexcept {
    if (a.size() != b.size()) return false;
    const auto lower = [](char c) {
        return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    };
    for (size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i])) return false;
    return true;
}

// Names and values in report lines are ASCII in practice; each byte maps to
// the code point of the same value, so nothing is dropped or rejected.
inline std::wstring widen(std::string_view s) {
    std::wstring w;
    w.reserve(s.size());
    for (unsigned char c : s) w += static_cast<wchar_t>(c);
    return w;
}

}  // namespace vemx::platform
