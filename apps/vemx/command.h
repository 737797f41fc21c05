#pragma once
// Subcommands of the vemx tool register themselves at start-up.
#include <string>
#include <vector>

namespace vemx_tool {

using CommandFn = int (*)(const std::vector<std::string>& args);

struct Command {
    const char* name;
    const char* usage;
    CommandFn run;
};

// Keeps the command for dispatch; returns true so it can seed a static.
bool register_command(const Command& command);

}  // namespace vemx_tool

#define VEMX_TOOL_COMMAND(name, usage, fn) \
    static const bool vemx_tool_registered_##fn = ::vemx_tool::register_command({name, usage, fn})
