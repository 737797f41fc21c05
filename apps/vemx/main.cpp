// vemx: the command-line face of the library.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "command.h"

namespace vemx_tool {

static std::vector<Command>& commands() {
    static std::vector<Command> list;
    return list;
}

bool register_command(const Command& command) {
    commands().push_back(command);
    return true;
}

}  // namespace vemx_tool

static int usage(FILE* out) {
    auto list = vemx_tool::commands();
    std::sort(list.begin(), list.end(),
              [](const auto& a, const auto& b) { return std::strcmp(a.name, b.name) < 0; });
    std::fprintf(out, "usage: vemx <command> [args...]\n\ncommands:\n");
    for (const auto& c : list) std::fprintf(out, "  %-10s %s\n", c.name, c.usage);
    return out == stdout ? 0 : 2;
}

int main(int argc, char** argv) {
    if (argc < 2) return usage(stderr);
    const std::string name = argv[1];
    if (name == "-h" || name == "--help" || name == "help") return usage(stdout);
    for (const auto& c : vemx_tool::commands()) {
        if (name == c.name) return c.run(std::vector<std::string>(argv + 2, argv + argc));
    }
    std::fprintf(stderr, "vemx: unknown command '%s'\n\n", name.c_str());
    return usage(stderr);
}
