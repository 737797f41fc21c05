// Start-up, configuration, FFmpeg's one-time set-up, and the exported
// interface: every name of tests/exports/*.txt and nothing else.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

#include "common/log_capture.h"
#include "frame/vemx.h"
#include "platform/module.h"
#include "platform/profile.h"

using vemx_test::TempDir;

namespace {

// Runs fn in a child process and returns what it wrote to stderr.
template <class F>
std::string child_stderr(F fn) {
    int fds[2];
    if (pipe(fds) != 0) return "pipe failed";
    if (fork() == 0) {
        dup2(fds[1], STDERR_FILENO);
        close(fds[0]);
        close(fds[1]);
        fn();
        _exit(0);
    }
    close(fds[1]);
    std::string out;
    char buf[4096];
    for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) out.append(buf, size_t(n));
    close(fds[0]);
    wait(nullptr);
    return out;
}

}  // namespace

TEST(Exports, LibraryExportsExactlyTheDocumentedFunctions) {
    std::set<std::string> want, have;
    for (const auto& entry :
         std::filesystem::directory_iterator(VEMX_SOURCE_DIR "/tests/exports")) {
        std::ifstream in(entry.path());
        for (std::string line; entry.path().extension() == ".txt" && std::getline(in, line);)
            if (!line.empty() && line[0] != '#') want.insert(line);
    }
    std::istringstream nm(
        vemx_test::run_command("nm -D --defined-only --format=posix '" VEMX_SHARED_LIBRARY "'"));
    for (std::string name, type, rest; nm >> name >> type && std::getline(nm, rest);)
        if (std::string("TWDBi").find(type) != std::string::npos) have.insert(name);
    ASSERT_FALSE(want.empty());
    for (const auto& name : want) EXPECT_TRUE(have.count(name)) << "missing export: " << name;
    for (const auto& name : have) EXPECT_TRUE(want.count(name)) << "undocumented export: " << name;
}

TEST(Startup, LoadingTheLibraryAnnouncesItsIniFileOnce) {
    const std::string so = VEMX_SHARED_LIBRARY;
    auto load = [&] {
        if (!dlopen(so.c_str(), RTLD_NOW | RTLD_LOCAL)) _exit(1);
    };
    unsetenv("VEMX_LOG");
    EXPECT_EQ(child_stderr(load),
              "INFO[vemx] INI file path: " + so.substr(0, so.rfind('/') + 1) + "libvemx.INI\n");
    setenv("VEMX_LOG", "off", 1);
    EXPECT_EQ(child_stderr(load), "");
    unsetenv("VEMX_LOG");
}

TEST(Startup, IniFileNameFollowsTheLibraryName) {
    const std::pair<const char*, const char*> cases[] = {
        {"/usr/lib/x86_64-linux-gnu/libvemx.so.0.1.0", "/usr/lib/x86_64-linux-gnu/libvemx.INI"},
        {"/opt/v/libvemx.so", "/opt/v/libvemx.INI"},
        {"/opt/v/VEMX.X64.DLL", "/opt/v/VEMX.X64.INI"},
        {"/opt/v/tests", "/opt/v/tests.INI"},
        {"/opt/v.so.d/libalso.sox", "/opt/v.so.d/libalso.INI"}};
    for (const auto& [so, ini] : cases) EXPECT_EQ(vemx::platform::ini_path_for(so), ini);
}

TEST(Startup, ProfileIntegersDefaultWhenFileOrKeyIsMissing) {
    using vemx::platform::profile_int;
    TempDir dir;
    EXPECT_EQ(profile_int(dir.path() + "/missing.INI", "CONFIG", "ENABLE_LOG_FILE", 0), 0);
    std::ofstream("v.INI") << "; comment\n[OTHER]\nENABLE_LOG_FILE=9\n[config]\n"
                              "  enable_log_file = 1 \nHEX=0x10\nNEG=-3\nJUNK=abc\n";
    const std::tuple<const char*, const char*, int, int> cases[] = {
        {"CONFIG", "ENABLE_LOG_FILE", 0, 1},
        {"CONFIG", "HEX", 0, 16},
        {"CONFIG", "NEG", 0, -3},
        {"CONFIG", "JUNK", 5, 0},
        {"CONFIG", "ABSENT", 7, 7},
        {"NOSECTION", "ENABLE_LOG_FILE", 0, 0}};
    for (const auto& [section, key, fallback, want] : cases)
        EXPECT_EQ(profile_int("v.INI", section, key, fallback), want) << key;
}

TEST(Startup, GlobalInitRunsOnceUnderConcurrentFirstCallsAndSilencesFfmpeg) {
    std::atomic<int> did_work{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 16; ++i)
        threads.emplace_back([&] { did_work += vemx::frame::GlobalInit(); });
    for (auto& t : threads) t.join();
    EXPECT_LE(did_work.load(), 1);
    EXPECT_FALSE(vemx::frame::GlobalInit());
    EXPECT_EQ(child_stderr([] { av_log(nullptr, AV_LOG_PANIC, "ffmpeg speaks\n"); }), "");
}
