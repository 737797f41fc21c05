#pragma once
// Where the library itself lies on disk, and the INI file that goes with it.
#include <string>
#include <string_view>

namespace vemx::platform {

// Absolute path of the file this code was loaded from (the shared library,
// or the executable when linked statically).
std::string own_module_path();

// The INI file beside a module: the file name cut at its first ".so"
// ("libvemx.so.1" -> "libvemx"), or with its last extension removed when it
// has no ".so" part, followed by ".INI", in the module's directory.
std::string ini_path_for(std::string_view module_path);

}  // namespace vemx::platform
