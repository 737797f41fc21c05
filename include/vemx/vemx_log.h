/*
 * Log sink: an addition to the original interface.
 *
 * Every diagnostic line of the library (tagged lines such as
 * "INFO[vemx] INI file path: ..." and the "[vemx][ERROR]: ..." report lines)
 * goes to one sink.  The default sink writes each line to stderr with a
 * single write; setting the environment variable VEMX_LOG=off before the
 * library loads silences it.
 *
 * vemx_set_log_sink installs a host sink.  It receives each line whole, in
 * UTF-8, NUL-terminated, ending with its line feed.  It may be called from
 * any thread, concurrently.  No lock of the library is held while it runs:
 * it may call into the library (lines it causes reach it too, up to a small
 * nesting depth, then stderr) and may call vemx_set_log_sink itself.  Once
 * vemx_set_log_sink returns, the previous sink is no longer called and no
 * longer running, so its context may be freed; called from inside the sink,
 * the calls that thread is in are the one exception.  A null sink restores
 * the default.
 *
 * Floods are limited: of one identical line, at most 10 pass per second;
 * the rest are counted, and the count comes as
 * "INFO[vemx|log] <n> repeats held back: <line>" with the next line after
 * that second, or when the sink is replaced.
 */
#ifndef VEMX_LOG_H
#define VEMX_LOG_H

#include "vemx_export.h"

VEMX_EXTERN_C_BEGIN

typedef void (*vemx_log_sink_fn)(const char* line, void* ctx);

VEMX_API void vemx_set_log_sink(vemx_log_sink_fn sink, void* ctx);

VEMX_EXTERN_C_END

#endif
