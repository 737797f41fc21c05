/*
 * Library frame: one-time initialisation and facts about the loaded library.
 *
 * Configuration lives in an INI file beside the library.  Its name is the
 * library's file name cut at the first ".so" (or, if there is none, with the
 * last extension removed) followed by ".INI":
 *     /usr/lib/x86_64-linux-gnu/libvemx.so.1  ->  /usr/lib/x86_64-linux-gnu/libvemx.INI
 * The file holds one key, [CONFIG] ENABLE_LOG_FILE (integer, default 0).
 */
#ifndef VEMX_FRAME_H
#define VEMX_FRAME_H

#include "vemx_export.h"

VEMX_EXTERN_C_BEGIN

/* Initialises FFmpeg once per process (silences its log, starts networking).
 * Any number of calls from any thread; services that need FFmpeg call it
 * themselves, so a host need not. */
VEMX_API void _vemx_init(void);

/* Extensions to the original interface, for tools and diagnostics.  The
 * returned strings are owned by the library and live as long as it is loaded. */
VEMX_API const char* vemx_version(void);
VEMX_API const char* vemx_library_path(void);
VEMX_API const char* vemx_ini_path(void);
/* The value of [CONFIG] ENABLE_LOG_FILE as read from the INI file now. */
VEMX_API int vemx_config_enable_log_file(void);

VEMX_EXTERN_C_END

#endif
