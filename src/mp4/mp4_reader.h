#pragma once
// Our MP4 reader: the sample-level read operations the MP4 player is built
// on, under the names and with the contract the player was designed against.
//
// Contract shared by every call:
// - Results are 0 on success and negative on failure (kReader* below).
// - Sample numbers start at 1 and follow storage (decode) order.
// - Times are 100-ns units from the start of the presentation, the same
//   numbers ffprobe shows as pts and dts (edit-list start offset applied).
// - A handle that failed to open (or null) fails every call with
//   kReaderBadHandle and touches no memory behind it.
// - Every call on one handle may come from any thread; calls are serialised
//   per handle.
// - A video sample is delivered ready to decode: H.264 and HEVC as Annex B
//   with the parameter sets in front of every key frame that lacks its own,
//   AAC with a 7-byte ADTS header; other codecs as stored.  The size
//   reported is the size delivered, and nothing is written past the
//   capacity the caller passes.
// - A file that grows (fragmented recording in progress) is looked at again
//   by QvMP4GetTotalDuration and QvMP4GetSampleNumber, which take in
//   fragments appended since the last look.
#include <cstdint>

namespace vemx::mp4reader {

constexpr int kReaderOk = 0;
constexpr int kReaderFailed = -1;          // unspecified failure
constexpr int kReaderBadHandle = -2;       // null handle, or one whose open failed
constexpr int kReaderNoSuchSample = -3;    // sample number 0 or past the count
constexpr int kReaderBufferTooSmall = -4;  // *size then holds the bytes needed
constexpr int kReaderIoError = -5;         // the file could not be read

// Opens path.  *handle is always set, also on failure (to a handle that fails
// every later call), and must be released with QvMP4ReleaseEditFileRead.
int QvMP4CreateEditFileRead(const char* path, void** handle);
int QvMP4ReleaseEditFileRead(void* handle);

// Video: codec fourcc, width, height, bits per pixel, frames per second.
int QvMP4GetVideoStreamFormat(void* handle, unsigned long* codec, unsigned long* width,
                              unsigned long* height, unsigned long* bits, double* frame_rate);
// Audio: codec fourcc, sample rate, channels, bits per sample.
int QvMP4GetAudioStreamFormat(void* handle, unsigned long* codec, unsigned long* rate,
                              unsigned long* channels, unsigned long* bits);
int QvMP4GetTotalDuration(void* handle, double* seconds);
// Sample counts; 0 where the stream is absent.
int QvMP4GetSampleNumber(void* handle, unsigned long* video_count, unsigned long* audio_count);

// Any pointer may be null.  With data and size set, *data is the caller's
// buffer and *size its capacity; on return *data points at the sample bytes
// and *size holds their count.  decode_time / presentation_time in 100 ns.
// With size set and data null, *size receives the delivered size only.
int QvMP4GetVideoSample(void* handle, unsigned long id, unsigned char** data, unsigned int* size,
                        int64_t* decode_time, int64_t* presentation_time, int* key);
// time is the presentation time; second_time the decode time.
int QvMP4GetAudioSample(void* handle, unsigned long id, unsigned char** data, unsigned int* size,
                        int64_t* time, int64_t* second_time);

// The video sample shown at `seconds` (the last one whose presentation time
// is at or before it; the first sample for earlier times).
int QvMP4GetVideoFrameId(void* handle, double seconds, unsigned long* id);
// The audio sample playing at `seconds`.
int QvMP4GetAudioSampleId(void* handle, double seconds, unsigned long* id);
// Presentation time of a video sample.
int QvMP4GetVideoFrameTime(void* handle, unsigned long id, double* seconds);
// The key frame at or before video sample id (storage order), the audio
// sample that plays at that key frame's presentation time, and both times.
// Without an audio stream the audio sample is 0 and its time 0.
int QvMP4GetKeyFrameTimeAndId(void* handle, unsigned long id, unsigned long* key_video_id,
                              unsigned long* key_audio_id, double* key_video_seconds,
                              double* key_audio_seconds);

// The path a handle was opened with, or null (for a bad handle).  Lets a
// player that was given a handle watch the file for growth.
const char* ReaderPath(void* handle);

}  // namespace vemx::mp4reader
