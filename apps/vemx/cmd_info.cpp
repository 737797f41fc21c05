// vemx info: what library was loaded and how it is configured.
#include <cstdio>

#include "command.h"
#include "vemx/vemx.h"

namespace {

int run_info(const std::vector<std::string>&) {
    std::printf("version: %s\n", vemx_version());
    std::printf("library: %s\n", vemx_library_path());
    std::printf("ini: %s\n", vemx_ini_path());
    std::printf("ENABLE_LOG_FILE: %d\n", vemx_config_enable_log_file());
    return 0;
}

}  // namespace

VEMX_TOOL_COMMAND("info", "print version, library path, INI path and configuration", run_info);
