/*
 * Media encoder: interleaved PCM audio in, compressed audio packets out.
 *
 * Codec names (ASCII case ignored) and the libavcodec encoder each selects:
 *   "aac"  aac (native)          "opus" libopus
 *   "ac3"  ac3 (native, float)   "eac3" eac3 (native)
 *   "mp3"  libmp3lame            "mp2"  mp2 (native)
 *   "g722" g722 (16 kHz mono)    "g726" g726 (8 kHz mono; bit rate 16000..40000)
 * Input formats: "u8" or "s16", interleaved.  When the encoder does not take
 * the input format, the samples are converted first.
 *
 * Timestamps are in 100-ns units both ways.  Each buffer should hold exactly
 * the encoder's frame size (vemx_mediaencoder_get_frame_size) of samples per
 * channel; a trailing partial sample frame is ignored.
 *
 * Usage: new, set_*, init, then encode (packets to the callback) or
 * encode1 / encode_more (packets as results).  The encoder keeps a few
 * packets back; call encode_more until it returns 0 to get them all at the
 * end.  Encoding may go on afterwards (the encoder starts afresh).
 * One thread at a time per handle.
 */
#ifndef VEMX_MEDIAENCODER_H
#define VEMX_MEDIAENCODER_H

#include <stdint.h>

#include "vemx_export.h"

VEMX_EXTERN_C_BEGIN

/* One packet: data belongs to the encoder and is valid during the call only. */
typedef void (*vemx_mediaencoder_callback_t)(int64_t pts, int64_t dts, const uint8_t* data,
                                             int64_t size, void* user);

VEMX_API void* vemx_mediaencoder_new(void);
VEMX_API void vemx_mediaencoder_addref(void* encoder);
VEMX_API void vemx_mediaencoder_release(void* encoder);

/* Strings are copied and must not be null. */
VEMX_API void vemx_mediaencoder_set_codec_name(void* encoder, const char* name);
VEMX_API void vemx_mediaencoder_set_format_name(void* encoder, const char* name);
/* An FFmpeg channel-layout name ("stereo", "5.1", ...), used when channels is 0. */
VEMX_API void vemx_mediaencoder_set_channel_layout_name(void* encoder, const char* name);
/* An encoder profile name (e.g. "LC" or "Main" for AAC); unknown names keep the default. */
VEMX_API void vemx_mediaencoder_set_profile(void* encoder, const char* name);
VEMX_API void vemx_mediaencoder_set_sample_rate(void* encoder, int sample_rate);
VEMX_API void vemx_mediaencoder_set_channels(void* encoder, int channels);
/* Bits per second; for "mp2" a non-zero rate is raised to the next allowed one. */
VEMX_API void vemx_mediaencoder_set_bit_rate(void* encoder, int bit_rate);
/* Non-zero: codec configuration out of band instead of in the packets. */
VEMX_API void vemx_mediaencoder_set_global_header(void* encoder, int global_header);
/* An encoder option handed over when the encoder opens; 0 or a negative FFmpeg error. */
VEMX_API int vemx_mediaencoder_set_option(void* encoder, const char* key, const char* value);
VEMX_API void vemx_mediaencoder_set_callback(void* encoder, vemx_mediaencoder_callback_t callback,
                                             void* user);

/* Opens the encoder: 1 on success, 0 on failure (logged).  The handle stays
 * usable: change the settings and init again.  A second successful init
 * replaces the encoder. */
VEMX_API int vemx_mediaencoder_init(void* encoder);
/* Samples per channel the encoder takes per buffer. */
VEMX_API void vemx_mediaencoder_get_frame_size(void* encoder, int* frame_size);

/* Encodes one buffer; every packet ready is passed to the callback before
 * the call returns. */
VEMX_API void vemx_mediaencoder_encode(void* encoder, const uint8_t* data, int size, int64_t pts);
/* Encodes one buffer and returns at most one packet: 1 with the four outputs
 * set, 0 with them set to 0.  A returned packet stays valid while 15 further
 * packets are returned by encode1 / encode_more. */
VEMX_API int vemx_mediaencoder_encode1(void* encoder, const uint8_t* data, int size, int64_t pts,
                                       const uint8_t** out_data, int64_t* out_size,
                                       int64_t* out_pts, int64_t* out_dts);
/* The next packet without new input; when none is ready the encoder is
 * drained.  0 when nothing is left. */
VEMX_API int vemx_mediaencoder_encode_more(void* encoder, const uint8_t** out_data,
                                           int64_t* out_size, int64_t* out_pts, int64_t* out_dts);

VEMX_EXTERN_C_END

#endif
