// Opening an hour-long MP4 file (30 fps H.264 + 48 kHz AAC, about 277 000
// samples): our reader's open and sample count beside libavformat's
// avformat_open_input + avformat_find_stream_info on the same file, and the
// bytes our sample tables hold per sample.  The file is made with ffmpeg
// from ten encoded seconds copied 360 times; it stays in the page cache, so
// the figures compare parsing, not the disk.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
}

#include "mp4/mp4_file_reader.h"
#include "mp4/mp4_reader.h"

namespace mr = vemx::mp4reader;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kRuns = 7;

bool Make(const std::string& command) {
    if (std::system(command.c_str()) == 0) return true;
    std::fprintf(stderr, "failed: %s\n", command.c_str());
    return false;
}

template <class F>
double MedianMs(F&& run) {
    std::vector<double> ms;
    for (int i = 0; i < kRuns; ++i) {
        const auto start = Clock::now();
        if (!run()) return -1;
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    std::sort(ms.begin(), ms.end());
    return ms[ms.size() / 2];
}

}  // namespace

int main() {
    char tmpl[] = "/tmp/vemx-bench-mp4reader-XXXXXX";
    if (!mkdtemp(tmpl)) return 1;
    const std::string dir = tmpl;
    const std::string ten = dir + "/ten.mp4", hour = dir + "/hour.mp4";
    const bool made =
        Make(
            "ffmpeg -v error -nostdin -y -f lavfi -i testsrc=size=64x36:rate=30 -f lavfi -i "
            "sine=sample_rate=48000 -t 10 -c:v libx264 -preset ultrafast -bf 2 -g 60 -c:a aac "
            "-b:a 32k " +
            ten) &&
        Make("ffmpeg -v error -nostdin -y -stream_loop 359 -i " + ten + " -c copy " + hour);
    if (!made) {
        std::filesystem::remove_all(dir);
        return 1;
    }

    unsigned long video = 0, audio = 0;
    size_t table_bytes = 0;
    const double ours = MedianMs([&] {
        void* h = nullptr;
        if (mr::QvMP4CreateEditFileRead(hour.c_str(), &h) != mr::kReaderOk) return false;
        mr::QvMP4GetSampleNumber(h, &video, &audio);
        table_bytes = static_cast<vemx::mp4file::FileReader*>(h)->TableBytes();
        mr::QvMP4ReleaseEditFileRead(h);
        return true;
    });

    av_log_set_level(AV_LOG_QUIET);
    int64_t lavf_samples = 0;
    auto lavf = [&](bool find_info) {
        return MedianMs([&] {
            AVFormatContext* ctx = nullptr;
            if (avformat_open_input(&ctx, hour.c_str(), nullptr, nullptr) < 0) return false;
            if (find_info) avformat_find_stream_info(ctx, nullptr);
            lavf_samples = 0;
            for (unsigned i = 0; i < ctx->nb_streams; ++i)
                lavf_samples += avformat_index_get_entries_count(ctx->streams[i]);
            avformat_close_input(&ctx);
            return true;
        });
    };
    const double peer = lavf(true);
    const double peer_open_only = lavf(false);

    const double samples = double(video + audio);
    std::printf("samples: %lu video + %lu audio (libavformat index: %lld)\n", video, audio,
                static_cast<long long>(lavf_samples));
    std::printf("vemx_open_and_count: %.1f ms\n", ours);
    std::printf("libavformat_open_and_find_stream_info: %.1f ms\n", peer);
    std::printf("libavformat_open_input_only: %.1f ms\n", peer_open_only);
    std::printf("vemx_vs_libavformat: %.2f x its time\n", ours / peer);
    std::printf("vemx_table_bytes_per_sample: %.1f bytes\n",
                samples > 0 ? table_bytes / samples : 0);
    std::filesystem::remove_all(dir);
    return 0;
}
