// Our MP4 reader, in place of the closed reader library the player was
// designed against.  The boxes are parsed here rather than through a library:
// Debian has no MP4 parsing library, and libavformat's mov demuxer exposes no
// per-sample presentation times and cannot re-read a file that grows.
#include "mp4/mp4_reader.h"

#include "frame/handle.h"
#include "frame/log.h"
#include "mp4/mp4_file_reader.h"
#include "vemx/vemx_mp4reader.h"

namespace vemx::mp4reader {

using mp4file::FileReader;
using mp4movie::Kind;

namespace {

FileReader* Reader(void* handle) noexcept {
    return static_cast<FileReader*>(handle);
}

// Every entry point: a null handle fails, and no exception leaves.
template <class F>
int Call(void* handle, F&& body) noexcept {
    if (!handle) return kReaderBadHandle;
    try {
        return body(*Reader(handle));
    } catch (...) {
        return kReaderFailed;
    }
}

}  // namespace

// A file that cannot be opened leaves a null handle: it fails every call
// without anything behind it to touch, and releasing it does nothing.
int QvMP4CreateEditFileRead(const char* path, void** handle) {
    if (handle) *handle = nullptr;
    if (!path || !handle) return kReaderFailed;
    std::string reason;
    try {
        auto reader = FileReader::Open(path, reason);
        if (reader) {
            *handle = reader.release();
            return kReaderOk;
        }
    } catch (const std::exception& e) {
        reason = e.what();
    } catch (...) {
        reason = "unexpected failure";
    }
    frame::LogPrint("ERROR[vemx!mp4reader] ", "Cannot open %s: %s", path, reason.c_str());
    return kReaderFailed;
}

int QvMP4ReleaseEditFileRead(void* handle) {
    if (!handle) return kReaderBadHandle;
    delete Reader(handle);
    return kReaderOk;
}

int QvMP4GetVideoStreamFormat(void* handle, unsigned long* codec, unsigned long* width,
                              unsigned long* height, unsigned long* bits, double* frame_rate) {
    return Call(handle, [&](FileReader& r) {
        return r.VideoFormat(codec, width, height, bits, frame_rate);
    });
}

int QvMP4GetAudioStreamFormat(void* handle, unsigned long* codec, unsigned long* rate,
                              unsigned long* channels, unsigned long* bits) {
    return Call(handle, [&](FileReader& r) { return r.AudioFormat(codec, rate, channels, bits); });
}

int QvMP4GetTotalDuration(void* handle, double* seconds) {
    return Call(handle, [&](FileReader& r) { return r.Duration(seconds); });
}

int QvMP4GetSampleNumber(void* handle, unsigned long* video_count, unsigned long* audio_count) {
    return Call(handle, [&](FileReader& r) { return r.Counts(video_count, audio_count); });
}

int QvMP4GetVideoSample(void* handle, unsigned long id, unsigned char** data, unsigned int* size,
                        int64_t* decode_time, int64_t* presentation_time, int* key) {
    return Call(handle, [&](FileReader& r) {
        return r.ReadSample(Kind::kVideo, id, data, size, decode_time, presentation_time, key);
    });
}

int QvMP4GetAudioSample(void* handle, unsigned long id, unsigned char** data, unsigned int* size,
                        int64_t* time, int64_t* second_time) {
    return Call(handle, [&](FileReader& r) {
        return r.ReadSample(Kind::kAudio, id, data, size, second_time, time, nullptr);
    });
}

int QvMP4GetVideoFrameId(void* handle, double seconds, unsigned long* id) {
    return Call(handle, [&](FileReader& r) { return r.SampleAt(Kind::kVideo, seconds, id); });
}

int QvMP4GetAudioSampleId(void* handle, double seconds, unsigned long* id) {
    return Call(handle, [&](FileReader& r) { return r.SampleAt(Kind::kAudio, seconds, id); });
}

int QvMP4GetVideoFrameTime(void* handle, unsigned long id, double* seconds) {
    return Call(handle, [&](FileReader& r) { return r.VideoTime(id, seconds); });
}

int QvMP4GetKeyFrameTimeAndId(void* handle, unsigned long id, unsigned long* key_video_id,
                              unsigned long* key_audio_id, double* key_video_seconds,
                              double* key_audio_seconds) {
    return Call(handle, [&](FileReader& r) {
        return r.KeyFrame(id, key_video_id, key_audio_id, key_video_seconds, key_audio_seconds);
    });
}

const char* ReaderPath(void* handle) {
    return handle ? Reader(handle)->path().c_str() : nullptr;
}

}  // namespace vemx::mp4reader

// The exported family: thin wrappers with fixed-width types.
namespace mr = vemx::mp4reader;

VEMX_EXPORT void* vemx_mp4reader_open(const char* path) {
    void* handle = nullptr;
    mr::QvMP4CreateEditFileRead(path, &handle);
    return handle;
}

VEMX_EXPORT void vemx_mp4reader_release(void* reader) {
    mr::QvMP4ReleaseEditFileRead(reader);
}

VEMX_EXPORT int vemx_mp4reader_get_duration(void* reader, double* seconds) {
    return mr::QvMP4GetTotalDuration(reader, seconds);
}

VEMX_EXPORT int vemx_mp4reader_get_sample_counts(void* reader, uint32_t* video, uint32_t* audio) {
    unsigned long v = 0, a = 0;
    const int rc = mr::QvMP4GetSampleNumber(reader, &v, &a);
    if (rc == mr::kReaderOk) {
        if (video) *video = uint32_t(v);
        if (audio) *audio = uint32_t(a);
    }
    return rc;
}

namespace {

int ReadExported(mr::Kind kind, void* reader, uint32_t id, uint8_t* buffer, uint32_t capacity,
                 uint32_t* size, int64_t* dts, int64_t* pts, int* key) {
    unsigned char* data = buffer;
    unsigned int n = capacity;
    return mr::Call(reader, [&](vemx::mp4file::FileReader& r) {
        const int rc = r.ReadSample(kind, id, buffer ? &data : nullptr,
                                    buffer || size ? &n : nullptr, dts, pts, key);
        if (size && (rc == mr::kReaderOk || rc == mr::kReaderBufferTooSmall)) *size = n;
        return rc;
    });
}

}  // namespace

VEMX_EXPORT int vemx_mp4reader_read_video_sample(void* reader, uint32_t id, uint8_t* buffer,
                                                 uint32_t capacity, uint32_t* size, int64_t* dts,
                                                 int64_t* pts, int* key) {
    return ReadExported(mr::Kind::kVideo, reader, id, buffer, capacity, size, dts, pts, key);
}

VEMX_EXPORT int vemx_mp4reader_read_audio_sample(void* reader, uint32_t id, uint8_t* buffer,
                                                 uint32_t capacity, uint32_t* size, int64_t* dts,
                                                 int64_t* pts) {
    return ReadExported(mr::Kind::kAudio, reader, id, buffer, capacity, size, dts, pts, nullptr);
}

VEMX_EXPORT int vemx_mp4reader_get_frame_at(void* reader, int64_t time, uint32_t* id) {
    unsigned long frame = 0;
    const int rc = mr::QvMP4GetVideoFrameId(reader, double(time) / 1e7, &frame);
    if (rc == mr::kReaderOk && id) *id = uint32_t(frame);
    return rc;
}

VEMX_EXPORT int vemx_mp4reader_get_key_frame(void* reader, uint32_t id, uint32_t* key_id) {
    unsigned long key = 0;
    const int rc = mr::QvMP4GetKeyFrameTimeAndId(reader, id, &key, nullptr, nullptr, nullptr);
    if (rc == mr::kReaderOk && key_id) *key_id = uint32_t(key);
    return rc;
}
