#include "platform/module.h"

#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

namespace vemx::platform {

std::string own_module_path() {
    Dl_info info{};
    std::string path;
    if (dladdr(reinterpret_cast<void*>(&own_module_path), &info) != 0 && info.dli_fname)
        path = info.dli_fname;
    // The main executable is reported by its invocation name, which may be
    // relative or bare; the kernel knows the real file.
    if (path.empty() || path.find('/') == std::string::npos) {
        char buf[PATH_MAX];
        ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
        if (n > 0) path.assign(buf, static_cast<size_t>(n));
    } else if (path.front() != '/') {
        if (char* abs = realpath(path.c_str(), nullptr)) {
            path = abs;
            free(abs);
        }
    }
    return path;
}

std::string ini_path_for(std::string_view module_path) {
    const size_t slash = module_path.rfind('/');
    const std::string_view dir =
        slash == std::string_view::npos ? std::string_view{} : module_path.substr(0, slash + 1);
    std::string_view name =
        slash == std::string_view::npos ? module_path : module_path.substr(slash + 1);

    const size_t so = name.find(".so");
    if (so != std::string_view::npos && so > 0 && (so + 3 == name.size() || name[so + 3] == '.')) {
        name = name.substr(0, so);
    } else if (const size_t dot = name.rfind('.'); dot != std::string_view::npos && dot > 0) {
        name = name.substr(0, dot);
    }
    std::string out(dir);
    out.append(name);
    out.append(".INI");
    return out;
}

}  // namespace vemx::platform
