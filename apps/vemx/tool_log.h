#pragma once
// What the tool shows of the library's log: its error lines by default,
// every line with -v (as "ffmpeg -v" chooses), nothing with VEMX_LOG=off.
// FFmpeg error codes in the lines shown get FFmpeg's text for them.
#include <string>
#include <string_view>

namespace vemx_tool::log {

// Installs the tool's sink in place of the library's default one.
void Install(bool verbose);

// line with " (<text>)" after every "err=<negative code>" that has none.
std::string WithErrorTexts(std::string_view line);

}  // namespace vemx_tool::log
