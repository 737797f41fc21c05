// Opens arbitrary bytes as an MP4 file, reads every sample with two buffer
// sizes and runs the lookups.  The file is first written in part and the
// rest appended after the open, so the take-in of a growing file is fuzzed
// too.  The first input byte picks where the file is cut.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "mp4/mp4_reader.h"
#include "vemx/vemx_log.h"

namespace mr = vemx::mp4reader;

namespace {

std::string g_path;

void Write(const uint8_t* data, size_t size, const char* mode) {
    FILE* f = std::fopen(g_path.c_str(), mode);
    if (!f) return;
    if (size > 0) std::fwrite(data, 1, size, f);
    std::fclose(f);
}

void ReadAll(void* h) {
    unsigned long video = 0, audio = 0;
    double seconds = 0;
    mr::QvMP4GetTotalDuration(h, &seconds);
    if (mr::QvMP4GetSampleNumber(h, &video, &audio) != mr::kReaderOk) return;
    std::vector<unsigned char> buffer(1 << 16);
    for (unsigned long id = 1; id <= video + 1; ++id) {
        for (const unsigned int capacity : {16u, unsigned(buffer.size())}) {
            unsigned char* data = buffer.data();
            unsigned int size = capacity;
            int64_t dts = 0, pts = 0;
            int key = 0;
            if (mr::QvMP4GetVideoSample(h, id, &data, &size, &dts, &pts, &key) == mr::kReaderOk &&
                size > 0)
                buffer[0] ^= data[size - 1];
        }
        unsigned long key_video = 0, key_audio = 0, frame = 0;
        double a = 0, b = 0;
        mr::QvMP4GetKeyFrameTimeAndId(h, id, &key_video, &key_audio, &a, &b);
        if (mr::QvMP4GetVideoFrameTime(h, id, &a) == mr::kReaderOk)
            mr::QvMP4GetVideoFrameId(h, a, &frame);
    }
    for (unsigned long id = 1; id <= audio + 1; ++id) {
        unsigned char* data = buffer.data();
        unsigned int size = unsigned(buffer.size());
        int64_t pts = 0, dts = 0;
        if (mr::QvMP4GetAudioSample(h, id, &data, &size, &pts, &dts) == mr::kReaderOk && size > 0)
            buffer[0] ^= data[size - 1];
        unsigned long sample = 0;
        mr::QvMP4GetAudioSampleId(h, double(pts) / 1e7, &sample);
    }
    unsigned long frame = 0;
    mr::QvMP4GetVideoFrameId(h, -1.0, &frame);
    mr::QvMP4GetVideoFrameId(h, seconds + 1.0, &frame);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    vemx_set_log_sink([](const char*, void*) {}, nullptr);
    g_path = "/dev/shm/vemx-mp4reader-fuzz-" + std::to_string(getpid()) + ".mp4";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const size_t cut = (size - 1) * data[0] / 255;
    ++data;
    --size;
    const size_t first = cut < size ? cut : size;
    Write(data, first, "wb");
    void* h = nullptr;
    if (mr::QvMP4CreateEditFileRead(g_path.c_str(), &h) == mr::kReaderOk) {
        ReadAll(h);
        Write(data + first, size - first, "ab");
        ReadAll(h);
    }
    mr::QvMP4ReleaseEditFileRead(h);
    unlink(g_path.c_str());
    return 0;
}
