// The shared library exports exactly the documented interface: every name of
// tests/exports/*.txt, and nothing else.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

namespace {

std::set<std::string> documented() {
    std::set<std::string> names;
    for (const auto& entry :
         std::filesystem::directory_iterator(VEMX_SOURCE_DIR "/tests/exports")) {
        if (entry.path().extension() != ".txt") continue;
        std::ifstream in(entry.path());
        std::string line;
        while (std::getline(in, line)) {
            if (line.empty() || line[0] == '#') continue;
            names.insert(line);
        }
    }
    return names;
}

std::set<std::string> exported() {
    std::set<std::string> names;
    const std::string cmd = "nm -D --defined-only --format=posix '" VEMX_SHARED_LIBRARY "'";
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return names;
    char buf[1024];
    while (std::fgets(buf, sizeof buf, p)) {
        std::string line(buf);
        const std::string name = line.substr(0, line.find(' '));
        const char type = line.size() > name.size() + 1 ? line[name.size() + 1] : '?';
        if (type == 'T' || type == 'W' || type == 'D' || type == 'B' || type == 'i')
            names.insert(name);
    }
    pclose(p);
    return names;
}

}  // namespace

TEST(Exports, LibraryExportsExactlyTheDocumentedFunctions) {
    const auto want = documented();
    const auto have = exported();
    ASSERT_FALSE(want.empty());

    void* lib = dlopen(VEMX_SHARED_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib, nullptr) << dlerror();
    for (const auto& name : want) {
        EXPECT_TRUE(have.count(name)) << "missing export: " << name;
        EXPECT_NE(dlsym(lib, name.c_str()), nullptr) << name;
    }
    dlclose(lib);
    for (const auto& name : have) EXPECT_TRUE(want.count(name)) << "undocumented export: " << name;
}
