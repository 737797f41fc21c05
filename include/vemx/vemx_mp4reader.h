/*
 * MP4 reader (an addition to the original interface): sample-level reading
 * of MP4 files, plain or fragmented, for applications that pace or decode
 * samples themselves, and as the reader handle qvmp4fileplayer_set_handle
 * takes.
 *
 * Samples are delivered ready to decode:
 *   H.264 / HEVC  Annex B (4-byte start codes in place of length prefixes),
 *                 with the stream's parameter sets from avcC / hvcC in front
 *                 of every key frame that does not carry its own (after the
 *                 access unit delimiter when the sample starts with one);
 *   AAC           each frame with a 7-byte ADTS header (kept as stored when
 *                 ADTS cannot describe the stream, e.g. explicit rates);
 *   others        as stored.
 *
 * Sample numbers start at 1 and follow storage (decode) order.  Times are
 * 100-ns units, the pts and dts FFmpeg reports for the same file.  Results
 * are VEMX_MP4READER_OK (0) or one of the negative codes below.  A reader may
 * be used from several threads; calls are serialised.
 */
#ifndef VEMX_MP4READER_H
#define VEMX_MP4READER_H

#include <stdint.h>

#include "vemx_export.h"

#define VEMX_MP4READER_OK 0
#define VEMX_MP4READER_FAILED (-1)
#define VEMX_MP4READER_BAD_HANDLE (-2)       /* null reader */
#define VEMX_MP4READER_NO_SUCH_SAMPLE (-3)   /* 0, past the count, or no such stream */
#define VEMX_MP4READER_BUFFER_TOO_SMALL (-4) /* *size then holds the bytes needed */
#define VEMX_MP4READER_IO_ERROR (-5)

VEMX_EXTERN_C_BEGIN

/* Opens an MP4 file: a reader, or null when it cannot be read (one error
 * line in the library log names the file and the reason). */
VEMX_API void* vemx_mp4reader_open(const char* path);
/* Closes the file.  A reader handed to a player stays the caller's: release
 * it after the player has been reset. */
VEMX_API void vemx_mp4reader_release(void* reader);

/* Duration in seconds and sample counts (0 for an absent stream).  Both take
 * in fragments appended to the file since the last look. */
VEMX_API int vemx_mp4reader_get_duration(void* reader, double* seconds);
VEMX_API int vemx_mp4reader_get_sample_counts(void* reader, uint32_t* video, uint32_t* audio);

/* Reads sample `id` into buffer (capacity bytes).  *size receives the bytes
 * delivered; with a null buffer only the size and the times are reported.
 * Any of size, dts, pts and key may be null.
 * Audio samples are always key frames. */
VEMX_API int vemx_mp4reader_read_video_sample(void* reader, uint32_t id, uint8_t* buffer,
                                              uint32_t capacity, uint32_t* size, int64_t* dts,
                                              int64_t* pts, int* key);
VEMX_API int vemx_mp4reader_read_audio_sample(void* reader, uint32_t id, uint8_t* buffer,
                                              uint32_t capacity, uint32_t* size, int64_t* dts,
                                              int64_t* pts);

/* The video sample shown at `time` (100-ns units): the one with the latest
 * presentation time at or before it, or the first shown for earlier times. */
VEMX_API int vemx_mp4reader_get_frame_at(void* reader, int64_t time, uint32_t* id);
/* The key frame at or before video sample `id`, in storage order. */
VEMX_API int vemx_mp4reader_get_key_frame(void* reader, uint32_t id, uint32_t* key_id);

VEMX_EXTERN_C_END

#endif
