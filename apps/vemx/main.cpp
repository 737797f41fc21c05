// vemx: the command-line face of the library.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "command.h"
#include "options.h"
#include "tool_log.h"

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
    std::fprintf(out,
                 "usage: vemx [-v] <command> [args...]\n\n"
                 "  -v  show every line of the library's log, not only its errors\n\n"
                 "commands:\n");
    for (const auto& c : list) std::fprintf(out, "  %-10s %s\n", c.name, c.usage);
    return out == stdout ? 0 : 2;
}

// Nothing a command throws ends the process uncontrolled: a usage error
// gives status 2 with the command's usage, any other failure one line and
// status 1.
static int run(const vemx_tool::Command& c, const std::vector<std::string>& args) {
    try {
        return c.run(args);
    } catch (const vemx_tool::UsageError& e) {
        std::fprintf(stderr, "vemx %s: %s\n%s", c.name, e.what(), e.usage().c_str());
        return 2;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vemx %s: %s\n", c.name, e.what());
    } catch (...) {
        std::fprintf(stderr, "vemx %s: unexpected failure\n", c.name);
    }
    return 1;
}

int main(int argc, char** argv) {
    const bool verbose = argc > 1 && std::strcmp(argv[1], "-v") == 0;
    vemx_tool::log::Install(verbose);
    const int first = verbose ? 2 : 1;
    if (argc <= first) return usage(stderr);
    const std::string name = argv[first];
    if (name == "-h" || name == "--help" || name == "help") return usage(stdout);
    for (const auto& c : vemx_tool::commands()) {
        if (name == c.name) return run(c, std::vector<std::string>(argv + first + 1, argv + argc));
    }
    std::fprintf(stderr, "vemx: unknown command '%s'\n\n", name.c_str());
    return usage(stderr);
}
