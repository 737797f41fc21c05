// Library start-up and shut-down, the INI file, and FFmpeg's one-time set-up.
#include "frame/vemx.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/log.h>
}

#include <cstdarg>
#include <mutex>
#include <string>

#include "frame/handle.h"
#include "frame/log.h"
#include "platform/log_sink.h"
#include "platform/module.h"
#include "platform/profile.h"
#include "vemx/vemx_frame.h"
#include "vemx/vemx_log.h"

#ifndef VEMX_VERSION_STRING
#define VEMX_VERSION_STRING "0.0.0"
#endif

namespace vemx::frame {

namespace {

struct Process {
    std::mutex init_lock;
    bool initialised = false;  // guarded by init_lock
    std::string module_path;
    std::string ini_path;
};

// Built at load and torn down at unload, like the state a DLL keeps.
Process* g_process = nullptr;

void discard_ffmpeg_log(void*, int, const char*, va_list) {}

// Priority 101 runs this before any other static initialiser of the library
// and its counterpart after every other destructor.
__attribute__((constructor(101))) void process_attach() {
    g_process = new Process;
    g_process->module_path = platform::own_module_path();
    g_process->ini_path = platform::ini_path_for(g_process->module_path);
    LogPrint("INFO[vemx] ", "INI file path: %s", g_process->ini_path.c_str());
}

__attribute__((destructor(101))) void process_detach() {
    bool networked;
    {
        std::lock_guard lock(g_process->init_lock);
        networked = g_process->initialised;
    }
    if (networked) avformat_network_deinit();
    delete g_process;
    g_process = nullptr;
}

}  // namespace

bool GlobalInit() {
    std::lock_guard lock(g_process->init_lock);
    if (g_process->initialised) return false;
    av_log_set_flags(AV_LOG_SKIP_REPEATED);
    av_log_set_callback(discard_ffmpeg_log);
    avformat_network_init();
    g_process->initialised = true;
    return true;
}

const std::string& IniPath() {
    return g_process->ini_path;
}

const std::string& ModulePath() {
    return g_process->module_path;
}

int EnableLogFile() {
    return platform::profile_int(IniPath(), "CONFIG", "ENABLE_LOG_FILE", 0);
}

}  // namespace vemx::frame

using namespace vemx::frame;

VEMX_EXPORT void _vemx_init(void) {
    Guarded("_vemx_init", [] { GlobalInit(); });
}

VEMX_EXPORT const char* vemx_version(void) {
    return VEMX_VERSION_STRING;
}

VEMX_EXPORT const char* vemx_library_path(void) {
    return ModulePath().c_str();
}

VEMX_EXPORT const char* vemx_ini_path(void) {
    return IniPath().c_str();
}

VEMX_EXPORT int vemx_config_enable_log_file(void) {
    return Guarded("vemx_config_enable_log_file", 0, [] { return EnableLogFile(); });
}

VEMX_EXPORT void vemx_set_log_sink(vemx_log_sink_fn sink, void* ctx) {
    vemx::platform::set_log_sink(sink, ctx);
}
