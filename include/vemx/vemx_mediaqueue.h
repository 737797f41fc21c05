/*
 * Media queue: a paced jitter buffer for media packets.
 *
 * The host hands the queue opaque packets stamped with a presentation time
 * (pts, 100-ns units).  The queue keeps them ordered by pts and its own
 * playout thread hands each one back through the callback at its time, then
 * passes it to the release function.  Every accepted packet reaches release
 * exactly once: after delivery, when an overflow empties the queue, when the
 * playout thread ends or at uninit.  The queue never reads or frees what a
 * packet points to.
 *
 * Playout, chosen when the thread starts (vemx_mediaqueue_init):
 *   live    live mode set, or a negative delay: packets leave in pts order as
 *           soon as they are queued;
 *   slave   a master is set: packets leave on the master's timeline;
 *   master  otherwise: packets leave about `delay` ms after their arrival,
 *           smoothed over the last 30 arrivals.
 *
 * Every function ignores a null handle.  Callbacks run on the playout thread
 * without any lock held, so they may enqueue into any queue; they must not
 * uninit or drop the last reference of their own queue.  With
 * [CONFIG] ENABLE_LOG_FILE set in the INI file, each queue writes hourly
 * rolled logs mediaqueue[NNNNNN]-NNNN.log and mediaqueue[NNNNNN]-thread-NNNN.log
 * into the current directory.
 */
#ifndef VEMX_MEDIAQUEUE_H
#define VEMX_MEDIAQUEUE_H

#include <stdint.h>

#include "vemx_export.h"

VEMX_EXTERN_C_BEGIN

/* Receives a due packet; arg is always 0.  The result is ignored. */
typedef int (*vemx_mediaqueue_callback_fn)(void* packet, void* context, int arg);
/* Takes a packet back after delivery or when it is dropped.  The result is ignored. */
typedef int (*vemx_mediaqueue_release_fn)(void* packet, void* context);

/* A new queue (reference count 1): delay 0, maxQueueSize 64, not live, no
 * master, callbacks that do nothing.  Null when it cannot be made. */
VEMX_API void* vemx_mediaqueue_new(void);
VEMX_API void vemx_mediaqueue_add_ref(void* queue);
/* The last release stops playout and hands back every queued packet. */
VEMX_API void vemx_mediaqueue_release(void* queue);

/* Follow master's timeline (takes a reference to it until uninit).  Null
 * clears; the queue itself counts as no master.  Read when playout starts. */
VEMX_API void vemx_mediaqueue_set_master(void* queue, void* master);
/* Milliseconds between arrival and delivery; negative selects live playout.
 * Acts at once, also during playout. */
VEMX_API void vemx_mediaqueue_set_delay(void* queue, int32_t delay_ms);
/* A packet is accepted while at most this many are queued; the next one
 * empties the queue (every queued packet is released, the new one is
 * neither queued nor released).  Negative: never full. */
VEMX_API void vemx_mediaqueue_set_max_queue_size(void* queue, int32_t max_queue_size);
/* Stored and logged only. */
VEMX_API void vemx_mediaqueue_set_enable_reset_timer(void* queue, int32_t enable);
/* A null callback or release function does nothing. */
VEMX_API void vemx_mediaqueue_set_callback(void* queue, vemx_mediaqueue_callback_fn callback,
                                           vemx_mediaqueue_release_fn release, void* context);
/* Non-zero selects live playout.  Read when playout starts. */
VEMX_API void vemx_mediaqueue_set_live_mode(void* queue, int32_t live);

/* Starts the playout thread: 1 on success, 0 on failure, a null handle or a
 * queue that is already playing. */
VEMX_API int32_t vemx_mediaqueue_init(void* queue);
/* Stops playout, drops the master and releases every queued packet, earliest
 * pts first.  The queue may be initialised again. */
VEMX_API void vemx_mediaqueue_uninit(void* queue);

/* Queues one packet.  Any thread, at any time, also before init. */
VEMX_API void vemx_mediaqueue_enqueue(void* queue, void* packet, uint64_t size, int64_t pts);

VEMX_EXTERN_C_END

#endif
