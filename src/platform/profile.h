#pragma once
// Reading integers from Windows-style INI files ("[SECTION]" then
// "KEY=value" lines; section and key names compare without case).
#include <string>
#include <string_view>

namespace vemx::platform {

// The integer value of key in section, or def when the file, the section or
// the key is missing.  Like the Windows reader, the value's leading decimal
// digits count (with an optional sign, or a 0x prefix for hex); a value with
// no digits reads as 0.
int profile_int(const std::string& path, std::string_view section, std::string_view key, int def);

}  // namespace vemx::platform
