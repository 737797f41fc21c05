#pragma once
// Process-wide facts and the one-time FFmpeg set-up.
#include <string>

namespace vemx::frame {

// Initialises FFmpeg once per process, under the process-wide lock: its log
// is discarded and networking is started.  Any thread, any number of times;
// true only for the call that did the work.
bool GlobalInit();

// The INI file beside the library, worked out at load.
const std::string& IniPath();
const std::string& ModulePath();

// [CONFIG] ENABLE_LOG_FILE, read from the INI file at each call.
int EnableLogFile();

}  // namespace vemx::frame
