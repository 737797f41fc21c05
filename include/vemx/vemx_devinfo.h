/*
 * Device information record: a reference-counted bag of named values.
 *
 * A record carries the parameters of one request to a network device
 * (vemx_devcon_request) and, in the request's callback, the device's answer.
 * Keys are NUL-terminated byte strings compared exactly.  A cell holds
 * nothing, a 32-bit integer, a double or a string; reading converts:
 *
 *   stored    get_i                    get_d              get_str
 *   nothing   0                        0.0                ""
 *   integer   the value                the value          "%d"
 *   double    truncated toward zero;   the value          "%f" (six decimals)
 *             out of range or NaN
 *             gives INT32_MIN
 *   string    leading decimal integer  leading number     the string
 *             (clamped), else 0        else 0.0
 *
 * Looking up a missing key, with a getter too, leaves it behind with no
 * value.  Numbers are read and written in the "C" locale whatever the
 * process's locale is.  The reference count is atomic; the values are not
 * locked, so one record must not be used from two threads at once, nor
 * changed while a request that carries it is queued or in flight.
 * Every function ignores a null handle, key or result pointer.
 */
#ifndef VEMX_DEVINFO_H
#define VEMX_DEVINFO_H

#include <stddef.h>
#include <stdint.h>

#include "vemx_export.h"

VEMX_EXTERN_C_BEGIN

/* A new empty record (reference count 1); null when it cannot be made. */
VEMX_API void* vemx_devinfo_new(void);
VEMX_API void vemx_devinfo_add_ref(void* info);
VEMX_API void vemx_devinfo_release(void* info);

VEMX_API void vemx_devinfo_set_i(void* info, const char* key, int32_t value);
VEMX_API void vemx_devinfo_set_d(void* info, const char* key, double value);
/* Stores a copy; a null value stores the empty string. */
VEMX_API void vemx_devinfo_set_str(void* info, const char* key, const char* value);

VEMX_API void vemx_devinfo_get_i(void* info, const char* key, int32_t* value);
VEMX_API void vemx_devinfo_get_d(void* info, const char* key, double* value);
/* *size is the buffer's capacity.  When the text and its NUL fit, both are
 * copied and *size becomes their length; otherwise the first *size - 1 bytes
 * are copied and terminated and *size is left as it was, so a caller that
 * finds *size unchanged retries with a larger buffer. */
VEMX_API void vemx_devinfo_get_str(void* info, const char* key, char* buffer, size_t* size);

/* Addition: the whole record as a compact JSON object (integers as
 * integers, doubles as "%f" text or null when not finite, strings escaped,
 * cells without a value as null), under the buffer rule of
 * vemx_devinfo_get_str.  For logging and printing answers. */
VEMX_API void vemx_devinfo_get_json(void* info, char* buffer, size_t* size);

VEMX_EXTERN_C_END

#endif
