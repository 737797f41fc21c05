/*
 * MP4 file player: plays the compressed samples of an MP4 file through two
 * callbacks, each sample when it is due, at a settable rate, with pause,
 * stop, seek and seek by frame.  The application decodes and presents.
 *
 * Samples arrive ready to decode: H.264 and HEVC as Annex B with the
 * parameter sets in front of every key frame, AAC with a 7-byte ADTS header,
 * other codecs as stored.  Video arrives in decode order, each sample when
 * its decode time is due, with its presentation time.  Times are 100-ns units.
 *
 * Usage: new -> set_filename (or set_handle), set_buffer_size,
 * set_time_shift_mode, set_callbacks -> init -> play / pause / stop / seek /
 * seek_by_frame / set_rate -> reset (optional) -> release.  Setters take
 * effect at the next init.  Every function reports a null handle ("null
 * pointer") and does nothing else.
 *
 * Threads: the video callback runs on the player's video thread, and on the
 * thread of the player's commands for the frames that seek, pause from
 * stopped, play from paused and set rate deliver at once; the audio callback
 * runs on the audio thread.  Both may run at the same time.  Commands may
 * come from any thread and wait until they have run; from inside a callback
 * they and reset are reported and ignored.  A release there that drops the
 * last reference is reported and the player destroyed once the callback
 * has returned.  Queries may come from any thread.
 */
#ifndef VEMX_QVMP4FILEPLAYER_H
#define VEMX_QVMP4FILEPLAYER_H

#include <stddef.h>
#include <stdint.h>

#include "vemx_export.h"

VEMX_EXTERN_C_BEGIN

/* frame: 1-based sample number in storage order.  preroll: decode, do not
 * show (frames walked through to reach a seek target).  data is valid during
 * the call only.  After the stream's last sample the callback is called once
 * more with time = duration, the same frame number, data null and size 0
 * (key_frame 1, preroll 0); not in time-shift mode, where the file may still
 * grow. */
typedef void (*qvmp4fileplayer_video_callback_t)(int64_t time, uint64_t frame, const uint8_t* data,
                                                 uint64_t size, uint8_t key_frame, uint8_t preroll,
                                                 void* user);
/* The same for audio.  Audio is delivered at rate 1 only; a sample more than
 * 100 ms late is dropped ("Audio drop, <ms>"). */
typedef void (*qvmp4fileplayer_audio_callback_t)(int64_t time, uint64_t sample, const uint8_t* data,
                                                 uint64_t size, void* user);

/* A new player with reference count 1, or null when memory is exhausted. */
VEMX_API void* qvmp4fileplayer_new(void);
VEMX_API void qvmp4fileplayer_add_ref(void* player);
/* The last release stops playback and closes the file. */
VEMX_API void qvmp4fileplayer_release(void* player);

VEMX_API void qvmp4fileplayer_set_filename(void* player, const char* path);
/* A reader handle (vemx_mp4reader_open) to play instead of opening a file.
 * It stays the caller's: release it after reset or the player's release. */
VEMX_API void qvmp4fileplayer_set_handle(void* player, void* reader);
/* Non-zero: the file is being written; the player takes in samples appended
 * to it while it plays (a fragmented recording). */
VEMX_API void qvmp4fileplayer_set_time_shift_mode(void* player, int on);
/* Largest sample the player takes, 8294400 bytes by default; a larger one
 * is reported and skipped.  0 is reported and ignored. */
VEMX_API void qvmp4fileplayer_set_buffer_size(void* player, size_t bytes);
/* Null callbacks deliver nothing. */
VEMX_API void qvmp4fileplayer_set_callbacks(void* player, qvmp4fileplayer_video_callback_t video,
                                            qvmp4fileplayer_audio_callback_t audio, void* user);

/* Opens the file (or takes the handle) and starts the player's threads;
 * returns when the file is open.  A file that cannot be opened gives a
 * player with no samples. */
VEMX_API void qvmp4fileplayer_init(void* player);
/* Stops the threads and closes the file; the play state is kept. */
VEMX_API void qvmp4fileplayer_reset(void* player);

/* Each waits until done.  play: from stopped, from the start; from paused,
 * from where it paused.  pause from stopped shows the frame at the current
 * position.  seek (time, 100 ns) acts while playing or paused, seek_by_frame
 * while paused only: both deliver the frames from the key frame before the
 * target, all but the target marked preroll. */
VEMX_API void qvmp4fileplayer_play(void* player);
VEMX_API void qvmp4fileplayer_pause(void* player);
VEMX_API void qvmp4fileplayer_stop(void* player);
VEMX_API void qvmp4fileplayer_seek(void* player, int64_t time);
VEMX_API void qvmp4fileplayer_seek_by_frame(void* player, uint64_t frame);

/* Time and number of the last video frame delivered (after the last frame:
 * the duration and the frame count); 0 and 0 before the first init, 0 and 1
 * after it.  -1 and 0 for a null handle. */
VEMX_API int64_t qvmp4fileplayer_get_pts(void* player);
VEMX_API uint64_t qvmp4fileplayer_get_frame_number(void* player);
/* 0 stopped, 1 paused, 2 playing; -1 for a null handle. */
VEMX_API int qvmp4fileplayer_get_state(void* player);

/* Below 0.001 is reported ("playback rate is too small or negative") and
 * ignored.  Audio is not delivered at rates other than 1. */
VEMX_API void qvmp4fileplayer_set_rate(void* player, double rate);
/* 0.0 for a null handle. */
VEMX_API double qvmp4fileplayer_get_rate(void* player);
/* Re-reads the duration and sample counts (taking in fragments appended to
 * the file); returns at once. */
VEMX_API void qvmp4fileplayer_update_duration(void* player);

VEMX_EXTERN_C_END

#endif
