/*
 * Media timer: calls a callback once per frame period, numerator/denominator
 * ticks per second (30000/1001 by default), on a thread of its own.
 *
 * The callback receives the tick's ideal time counted from the first tick
 * (100-ns units: 0, 333666, 667333, 1001000, ... at 30000/1001) and that time
 * minus the time at which the tick was computed (zero or negative: how late
 * the tick is).  Ticks missed during a stall are all delivered, in order, at
 * the next wake-up.  The timer wakes once per tick, when the tick is due.
 *
 * A timer has no reference count: qvmediatimer_delete frees it at once.
 * Every function ignores a null handle.
 */
#ifndef VEMX_QVMEDIATIMER_H
#define VEMX_QVMEDIATIMER_H

#include <stdint.h>

#include "vemx_export.h"

VEMX_EXTERN_C_BEGIN

/* Result ignored. */
typedef int (*qvmediatimer_callback_t)(int64_t tick_time, int64_t lateness, void* context);

VEMX_API void* qvmediatimer_new(void);

/* Both must be positive; otherwise the call is reported and ignored.  A new
 * numerator applies to the ticks still to come, from the same start; a new
 * denominator applies from the next qvmediatimer_init of a fresh timer. */
VEMX_API void qvmediatimer_set_rate(void* timer, int32_t numerator, int32_t denominator);

/* May be changed while the timer runs; ticks that fall due while the
 * callback is null are skipped. */
VEMX_API void qvmediatimer_set_callback(void* timer, qvmediatimer_callback_t callback,
                                        void* context);

/* Starts the timer's thread (once); the first tick follows at once.
 * 0 when the handle or the callback is null, otherwise 1. */
VEMX_API int32_t qvmediatimer_init(void* timer);

/* Stops the thread (waiting for a running callback to return) and frees the
 * timer.  Not from inside the callback: there it writes an error line, stops
 * the ticks and frees the timer on another thread once the callback returned. */
VEMX_API void qvmediatimer_delete(void* timer);

VEMX_EXTERN_C_END

#endif
