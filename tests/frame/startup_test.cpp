// Start-up, configuration and FFmpeg's one-time set-up.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <fstream>
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

// Runs fn in a child process whose stderr is collected; returns it.
template <class F>
std::string child_stderr(F fn) {
    int fds[2];
    if (pipe(fds) != 0) return "pipe failed";
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], STDERR_FILENO);
        close(fds[0]);
        close(fds[1]);
        fn();
        _exit(0);
    }
    close(fds[1]);
    std::string out;
    char buf[4096];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return out;
}

}  // namespace

TEST(Startup, LoadingTheLibraryAnnouncesItsIniFileOnce) {
    const std::string so = VEMX_SHARED_LIBRARY;
    const std::string out = child_stderr([&] {
        unsetenv("VEMX_LOG");
        void* h = dlopen(so.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!h) _exit(1);
        dlclose(h);
    });
    const std::string dir = so.substr(0, so.rfind('/') + 1);
    EXPECT_EQ(out, "INFO[vemx] INI file path: " + dir + "libvemx.INI\n");

    setenv("VEMX_LOG", "off", 1);
    EXPECT_EQ(child_stderr([&] {
                  void* h = dlopen(so.c_str(), RTLD_NOW | RTLD_LOCAL);
                  if (!h) _exit(1);
              }),
              "");
    unsetenv("VEMX_LOG");
}

TEST(Startup, IniFileNameFollowsTheLibraryName) {
    using vemx::platform::ini_path_for;
    EXPECT_EQ(ini_path_for("/usr/lib/x86_64-linux-gnu/libvemx.so.0.1.0"),
              "/usr/lib/x86_64-linux-gnu/libvemx.INI");
    EXPECT_EQ(ini_path_for("/opt/v/libvemx.so"), "/opt/v/libvemx.INI");
    EXPECT_EQ(ini_path_for("/opt/v/VEMX.X64.DLL"), "/opt/v/VEMX.X64.INI");
    EXPECT_EQ(ini_path_for("/opt/v/tests"), "/opt/v/tests.INI");
    EXPECT_EQ(ini_path_for("/opt/v.so.d/libalso.sox"), "/opt/v.so.d/libalso.INI");
}

TEST(Startup, ProfileIntegersDefaultWhenFileOrKeyIsMissing) {
    using vemx::platform::profile_int;
    TempDir dir;
    EXPECT_EQ(profile_int(dir.path() + "/missing.INI", "CONFIG", "ENABLE_LOG_FILE", 0), 0);
    {
        std::ofstream f("v.INI");
        f << "; comment\n[OTHER]\nENABLE_LOG_FILE=9\n[config]\n  enable_log_file = 1 "
             "\nHEX=0x10\nNEG=-3\nJUNK=abc\n";
    }
    EXPECT_EQ(profile_int("v.INI", "CONFIG", "ENABLE_LOG_FILE", 0), 1);
    EXPECT_EQ(profile_int("v.INI", "CONFIG", "HEX", 0), 16);
    EXPECT_EQ(profile_int("v.INI", "CONFIG", "NEG", 0), -3);
    EXPECT_EQ(profile_int("v.INI", "CONFIG", "JUNK", 5), 0);
    EXPECT_EQ(profile_int("v.INI", "CONFIG", "ABSENT", 7), 7);
    EXPECT_EQ(profile_int("v.INI", "NOSECTION", "ENABLE_LOG_FILE", 0), 0);
}

TEST(Startup, GlobalInitRunsOnceUnderConcurrentFirstCallsAndSilencesFfmpeg) {
    std::atomic<int> did_work{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 16; ++i)
        threads.emplace_back([&] {
            if (vemx::frame::GlobalInit()) ++did_work;
        });
    for (auto& t : threads) t.join();
    EXPECT_LE(did_work.load(), 1);
    EXPECT_FALSE(vemx::frame::GlobalInit());

    const std::string out = child_stderr([] { av_log(nullptr, AV_LOG_PANIC, "ffmpeg speaks\n"); });
    EXPECT_EQ(out.find("ffmpeg speaks"), std::string::npos);
}
