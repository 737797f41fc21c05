/*
 * MP4 file writer: stores already-encoded video and audio frames in a
 * container file.  Nothing is encoded here; the codec names only describe the
 * streams.  The container is chosen by the file name's extension (".mp4"
 * gives MP4, ".mkv" Matroska, ".ts" MPEG-TS, ...).
 *
 * Names are compared without regard to ASCII letter case:
 *   video_type  "h264", "mpeg2video", "hevc" or "h265"
 *   audio_type  "aac" or "adts", "mp2", "mp3", "ac3", "eac3"
 *   pix_fmt     "yv12"
 *   sample_fmt  "u8", "s16"
 * An empty (or null) video_type / audio_type writes no stream of that kind.
 *
 * Timestamps are in 100-ns units.  The first frame written, video or audio,
 * becomes time 0 of both streams.  H.264/HEVC frames may be Annex B; AAC
 * frames may carry ADTS headers (the writer converts them for MP4).
 *
 * Usage: new, set_*, init (once), write_* from up to two threads (one video,
 * one audio), release.  The last release writes the trailer and closes the
 * file.  A writer whose init failed cannot be initialised again.
 */
#ifndef VEMX_MP4FILEWRITER_H
#define VEMX_MP4FILEWRITER_H

#include <stdint.h>

#include "vemx_export.h"

VEMX_EXTERN_C_BEGIN

/* A new writer with reference count 1, or null when memory is exhausted. */
VEMX_API void* vemx_mp4filewriter_new(void);
VEMX_API void vemx_mp4filewriter_add_ref(void* writer);
/* The release that drops the last reference finishes and closes the file. */
VEMX_API void vemx_mp4filewriter_release(void* writer);

/* fps_num/fps_den is the frame rate (30000/1001 for 29.97). */
VEMX_API void vemx_mp4filewriter_set_video_property(void* writer, const char* video_type, int width,
                                                    int height, const char* pix_fmt, int fps_num,
                                                    int fps_den);
VEMX_API void vemx_mp4filewriter_set_audio_property(void* writer, const char* audio_type,
                                                    int channels, const char* sample_fmt,
                                                    int sample_rate);
/* The output path; null empties it. */
VEMX_API void vemx_mp4filewriter_set_filename(void* writer, const char* filename);

/* Addition: with fragmented non-zero (before init) an MP4 file is written as
 * fragments, a new one at every video key frame, each on disk once it is
 * closed, so that vemx_mp4reader and the player can follow the file while it
 * is recorded.  The file can be opened once its first fragment is out (the
 * stream description goes with it). */
VEMX_API void vemx_mp4filewriter_set_fragmented(void* writer, int fragmented);

/* Opens the file and writes its header: 1 on success, 0 on failure (logged). */
VEMX_API int vemx_mp4filewriter_init(void* writer);

/* The data are copied before the call returns.  Frames are ignored until
 * init has succeeded; a failed write is logged and writing goes on. */
VEMX_API void vemx_mp4filewriter_write_video_frame(void* writer, int64_t pts, int64_t dts,
                                                   const uint8_t* data, int size, int key_frame);
VEMX_API void vemx_mp4filewriter_write_audio_frame(void* writer, int64_t pts, int64_t dts,
                                                   const uint8_t* data, int size);

VEMX_EXTERN_C_END

#endif
