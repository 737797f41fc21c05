/*
 * Transport-stream multiplexer: packs already-compressed video and audio
 * frames into an MPEG transport stream of 188-byte packets.  Nothing is
 * encoded.
 *
 * Streams are described either as one video and one audio stream
 * (vemx_tsmux_set_video_property / vemx_tsmux_set_audio_property), or keyed
 * by PID (the *_property1 / *_property2 setters) and grouped into programs,
 * or both.  Video types: "h264", "hevc" (or "h265"), "mpeg2video"; the pixel
 * format must be "yv12".  Audio types: "adts" (AAC with ADTS headers), "mp2",
 * "mp3", "ac3", "eac3"; sample formats "u8" or "s16".  Names are compared
 * without regard to case.
 *
 * Setters only store values; vemx_tsmux_init reads them, so changes take
 * effect at the next init.  Strings are copied; a null string reads as "".
 *
 * Timestamps are 100-ns units.  Every timestamp is made relative to the pts
 * of the first frame written after init, whichever stream it belongs to.
 * Frame writes may come from several threads; they are serialised by the
 * multiplexer, and the packet callbacks run on the writing thread with that
 * lock held (they must not write frames to the same multiplexer).  Writes
 * before init, after a failed init and after uninit do nothing, as do
 * writes for PIDs that are not configured.
 *
 * Output leaves in blocks of whole 188-byte packets (at most 112 packets per
 * block): to the packet callback, then to the second packet callback, then to
 * the file when a file name was set.  The bytes are valid during the call
 * only.  vemx_tsmux_uninit flushes the rest on the calling thread.
 *
 * The handle must not be null.
 */
#ifndef VEMX_TSMUX_H
#define VEMX_TSMUX_H

#include <stdint.h>

#include "vemx_export.h"

VEMX_EXTERN_C_BEGIN

typedef void (*vemx_tsmux_packet_callback_t)(const uint8_t* data, int64_t size, void* ctx);
typedef void (*vemx_tsmux_packet_callback1_t)(const uint8_t* data, int64_t size, void* ctx,
                                              void* ctx2);

/* Lifecycle.  The last release runs uninit first. */
VEMX_API void* vemx_tsmux_new(void);
VEMX_API void vemx_tsmux_addref(void* h);
VEMX_API void vemx_tsmux_release(void* h);

/* Output.  set_callbacks1 also replaces the context given to set_callbacks:
 * both callbacks share it; ctx2 goes to the second callback only. */
VEMX_API void vemx_tsmux_set_callbacks(void* h, vemx_tsmux_packet_callback_t cb, void* ctx);
VEMX_API void vemx_tsmux_set_callbacks1(void* h, vemx_tsmux_packet_callback1_t cb, void* ctx,
                                        void* ctx2);
/* Also write the stream to this file (truncated at init); "" for none. */
VEMX_API void vemx_tsmux_set_filename(void* h, const char* filename);

/* The single video and audio stream.  A negative PID lets the muxer choose. */
VEMX_API void vemx_tsmux_set_video_property(void* h, const char* video_type, int width, int height,
                                            const char* pix_fmt, int fps_num, int fps_den);
VEMX_API void vemx_tsmux_set_audio_property(void* h, const char* audio_type, int channels,
                                            const char* sample_fmt, int sample_rate);
VEMX_API void vemx_tsmux_set_video_pid(void* h, int pid);
VEMX_API void vemx_tsmux_set_audio_pid(void* h, int pid);

/* Streams keyed by PID.  Setting an entry again replaces it; frames written
 * to it are dropped until the next init.  stream_type (>= 0) is recorded as
 * the stream's "stream_type" metadata. */
VEMX_API void vemx_tsmux_set_video_property1(void* h, unsigned int pid, const char* video_type,
                                             int width, int height, const char* pix_fmt,
                                             int fps_num, int fps_den);
VEMX_API void vemx_tsmux_set_audio_property1(void* h, unsigned int pid, const char* audio_type,
                                             int channels, const char* sample_fmt, int sample_rate);
VEMX_API void vemx_tsmux_set_audio_property2(void* h, unsigned int pid, const char* audio_type,
                                             int channels, const char* sample_fmt, int sample_rate,
                                             int stream_type);

/* The default service (defaults "Program" and "Dovrex"); also the fallback of
 * programs whose own name or provider is empty. */
VEMX_API void vemx_tsmux_set_service_name(void* h, const char* name);
VEMX_API void vemx_tsmux_set_service_provider(void* h, const char* provider);

/* Values <= 0 leave the muxer's default, except max_delay (ms, default
 * 1000) which is always applied. */
VEMX_API void vemx_tsmux_set_mux_rate(void* h, int kbps);
VEMX_API void vemx_tsmux_set_max_delay(void* h, int ms);
VEMX_API void vemx_tsmux_set_start_pid(void* h, int pid);
VEMX_API void vemx_tsmux_set_pmt_start_pid(void* h, int pid);
VEMX_API void vemx_tsmux_set_service_id(void* h, int id);
VEMX_API void vemx_tsmux_set_transport_stream_id(void* h, int id);
VEMX_API void vemx_tsmux_set_original_network_id(void* h, int id);
VEMX_API void vemx_tsmux_set_pcr_period(void* h, int ms);

/* Programs (created on first use).  A PID that no stream has is skipped. */
VEMX_API void vemx_tsmux_program_add_stream(void* h, unsigned int program_id, unsigned int pid);
VEMX_API void vemx_tsmux_program_set_service_name(void* h, unsigned int program_id,
                                                  const char* name);
VEMX_API void vemx_tsmux_program_set_service_provider(void* h, unsigned int program_id,
                                                      const char* provider);

/* Builds the output and writes the stream header: 1 on success, 0 on failure
 * (the reason is logged).  A second init first does what uninit does. */
VEMX_API int vemx_tsmux_init(void* h);
/* Flushes and closes the output; the configuration stays. */
VEMX_API void vemx_tsmux_uninit(void* h);

/* Frame writes.  key marks a video key frame.  Variants without dts use ts
 * for both.  In variant 4 a non-zero offset replaces the stream's stored
 * offset (0 until then, reset by the stream's property setter); the stored
 * offset is added to pts and dts. */
VEMX_API void vemx_tsmux_write_video_frame(void* h, int64_t ts, const uint8_t* data, int size,
                                           int key);
VEMX_API void vemx_tsmux_write_video_frame2(void* h, int64_t pts, int64_t dts, const uint8_t* data,
                                            int size, int key);
VEMX_API void vemx_tsmux_write_video_frame3(void* h, unsigned int pid, int64_t pts, int64_t dts,
                                            const uint8_t* data, int size, int key);
VEMX_API void vemx_tsmux_write_video_frame4(void* h, unsigned int pid, int64_t pts, int64_t dts,
                                            int64_t offset, const uint8_t* data, int size, int key);
VEMX_API void vemx_tsmux_write_audio_frame(void* h, int64_t ts, const uint8_t* data, int size);
VEMX_API void vemx_tsmux_write_audio_frame2(void* h, int64_t pts, int64_t dts, const uint8_t* data,
                                            int size);
VEMX_API void vemx_tsmux_write_audio_frame3(void* h, unsigned int pid, int64_t pts, int64_t dts,
                                            const uint8_t* data, int size);
VEMX_API void vemx_tsmux_write_audio_frame4(void* h, unsigned int pid, int64_t pts, int64_t dts,
                                            int64_t offset, const uint8_t* data, int size);

VEMX_EXTERN_C_END

#endif
