/*
 * Transport-stream demultiplexer.
 *
 * The caller pushes an MPEG transport stream in blocks of any size with
 * vemx_tsdemux_write_data; a demux thread of the object probes the stream,
 * reports one MediaInfo per usable audio or video stream and then delivers
 * every packet of the selected streams to callbacks:
 *
 *   video  H.264 ("h264"), MPEG-2 ("mpeg2video"), HEVC ("hevc"): passed
 *          through, one access unit per call;
 *   audio  AAC in ADTS framing ("adts", one ADTS frame per call), MP3
 *          ("mp3") and E-AC-3 ("eac3") passed through; MPEG audio layer II,
 *          AC-3 and AAC-LATM decoded ("pcm") and delivered as interleaved
 *          signed 16-bit little-endian stereo at the stream's own rate.
 *
 * Timestamps are in 100-ns units counted from the start of the input.  Every
 * callback runs on the demux thread; the data it receives is valid during
 * the call only.  Handles must not be null.
 */
#ifndef VEMX_TSDEMUX_H
#define VEMX_TSDEMUX_H

#include <stddef.h>
#include <stdint.h>
#ifndef __cplusplus
#include <stdbool.h>
#endif

#include "vemx_export.h"

VEMX_EXTERN_C_BEGIN

/* Description of one stream, owned by the demultiplexer and valid until
 * vemx_tsdemux_uninit. */
typedef struct MediaInfo MediaInfo;

/* All usable streams in stream order, once, after probing. */
typedef void (*vemx_tsdemux_media_info_callback_t)(MediaInfo* const* infos, size_t count,
                                                   void* ctx);

/* The selected video and audio streams; empty strings and zeros for a kind
 * that was not found.  For decoded audio, audio_type is "pcm", channels 2 and
 * sample_fmt "s16": what the audio callback receives. */
typedef void (*vemx_tsdemux_format_callback_t)(const char* video_type, int width, int height,
                                               const char* pix_fmt, int fps_num, int fps_den,
                                               const char* audio_type, int channels,
                                               const char* sample_fmt, int sample_rate, void* ctx);
typedef void (*vemx_tsdemux_format_callback2_t)(uint32_t tag, const char* video_type, int width,
                                                int height, const char* pix_fmt, int fps_num,
                                                int fps_den, const char* audio_type, int channels,
                                                const char* sample_fmt, int sample_rate, void* ctx);

/* key: the packet is a key frame, or (H.264) carries a sequence parameter set. */
typedef void (*vemx_tsdemux_video_callback_t)(int64_t pts, int64_t dts, const uint8_t* data,
                                              int64_t size, bool key, void* ctx);
typedef void (*vemx_tsdemux_video_callback2_t)(uint32_t tag, int64_t pts, int64_t dts,
                                               const uint8_t* data, int64_t size, bool key,
                                               void* ctx);
typedef void (*vemx_tsdemux_audio_callback_t)(int64_t pts, int64_t dts, const uint8_t* data,
                                              int64_t size, void* ctx);
typedef void (*vemx_tsdemux_audio_callback2_t)(uint32_t tag, int64_t pts, int64_t dts,
                                               const uint8_t* data, int64_t size, void* ctx);

VEMX_API void* vemx_tsdemux_new(void);
VEMX_API void vemx_tsdemux_addref(void* handle);
/* The last release also does what vemx_tsdemux_uninit does. */
VEMX_API void vemx_tsdemux_release(void* handle);

/* Options, read at init (buffer size) or when the stream is opened. */
VEMX_API void vemx_tsdemux_set_buffer_size(void* handle, int bytes);       /* default 4096 */
VEMX_API void vemx_tsdemux_set_probe_size(void* handle, int64_t kib);      /* 0: libavformat's */
VEMX_API void vemx_tsdemux_set_analyze_duration(void* handle, int64_t ms); /* 0: libavformat's */
VEMX_API void vemx_tsdemux_set_scan_all_pmts(void* handle, int flag);

/* Must be set before init. */
VEMX_API void vemx_tsdemux_set_media_info_callback(void* handle,
                                                   vemx_tsdemux_media_info_callback_t callback,
                                                   void* ctx);

/* The best video and audio streams.  Taken over by the demux thread on its
 * next packet: the format callback runs, then the video and audio callbacks
 * are registered for the chosen streams, replacing earlier registrations. */
VEMX_API void vemx_tsdemux_set_callbacks(void* handle,
                                         vemx_tsdemux_format_callback_t format_callback,
                                         vemx_tsdemux_video_callback_t video_callback,
                                         vemx_tsdemux_audio_callback_t audio_callback, void* ctx);
/* The same for given stream ids (PIDs); a negative id means the best stream. */
VEMX_API void vemx_tsdemux_set_callbacks1(void* handle, int video_stream_id, int audio_stream_id,
                                          vemx_tsdemux_format_callback_t format_callback,
                                          vemx_tsdemux_video_callback_t video_callback,
                                          vemx_tsdemux_audio_callback_t audio_callback, void* ctx);
/* Adds a track: its callbacks receive `tag` first and listen to the chosen
 * streams beside any other registration.  Any number of tracks. */
VEMX_API void vemx_tsdemux_set_callbacks2(void* handle, unsigned int tag, int video_stream_id,
                                          int audio_stream_id,
                                          vemx_tsdemux_format_callback2_t format_callback,
                                          vemx_tsdemux_video_callback2_t video_callback,
                                          vemx_tsdemux_audio_callback2_t audio_callback, void* ctx);

/* Per-stream registrations by stream id, from any thread (also from inside a
 * callback); they replace the stream's earlier handler and its tracks. */
VEMX_API void vemx_tsdemux_set_video_callback(void* handle, int stream_id,
                                              vemx_tsdemux_video_callback_t callback, void* ctx);
VEMX_API void vemx_tsdemux_set_audio_callback(void* handle, int stream_id,
                                              vemx_tsdemux_audio_callback_t callback, void* ctx);

/* Starts the demux thread: 1 on success, 0 on failure. */
VEMX_API int vemx_tsdemux_init(void* handle);
/* Lets the demux thread read what the feed ring still holds, stops it and
 * frees what it built.  Callbacks, handlers and tracks must be set again
 * before a new init; options persist. */
VEMX_API void vemx_tsdemux_uninit(void* handle);
/* Copies one block into the object's feed ring for the demux thread and
 * returns; the block is the caller's again at once.  Sleeps only while the
 * ring (512 KiB) is full.  Returns 0.  While the demux thread is not running,
 * or once uninit has begun, the block is dropped at once.  One feeding thread
 * at a time. */
VEMX_API int vemx_tsdemux_write_data(void* handle, const uint8_t* data, uint64_t size);

/* MediaInfo fields. */
VEMX_API const char* vemx_mediainfo_get_media_type(const MediaInfo* info); /* "video" or "audio" */
VEMX_API const char* vemx_mediainfo_get_type(const MediaInfo* info);
VEMX_API const char* vemx_mediainfo_get_pix_fmt(const MediaInfo* info); /* "yv12" or "yvj12" */
VEMX_API const char* vemx_mediainfo_get_sample_fmt(
    const MediaInfo* info); /* s16, s16p, flt, fltp */
VEMX_API int vemx_mediainfo_get_width(const MediaInfo* info);
VEMX_API int vemx_mediainfo_get_height(const MediaInfo* info);
VEMX_API int vemx_mediainfo_get_fps_num(const MediaInfo* info);
VEMX_API int vemx_mediainfo_get_fps_den(const MediaInfo* info);
VEMX_API int vemx_mediainfo_get_channels(const MediaInfo* info);
VEMX_API int vemx_mediainfo_get_sample_rate(const MediaInfo* info);
VEMX_API int vemx_mediainfo_get_stream_id(const MediaInfo* info);  /* the PID */
VEMX_API int vemx_mediainfo_get_program_id(const MediaInfo* info); /* -1: no program */

VEMX_EXTERN_C_END

#endif
