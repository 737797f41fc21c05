/*
 * Device connection: requests to one network device.
 *
 * A connection carries the identity of a device (address, MAC, ID, HTTP
 * port, request path); discovery (vemx_devenum) hands out connections with
 * it filled in, vemx_devcon_new makes an empty one.  vemx_devcon_init starts
 * the connection's HTTP client thread.  Each vemx_devcon_request sends the
 * record as a JSON object in an HTTP/1.1 POST over a new TCP connection:
 *
 *   POST <uri> HTTP/1.1
 *   Host: <this computer's host name>
 *   Content-Type: application/json
 *   Content-Length: <n>
 *
 *   {"xedaid":"<fresh hexadecimal nonce>", <one member per cell>}
 *
 * Integers go out as JSON integers, doubles as "%f" text (null when not
 * finite), strings escaped, cells without a value as null.  The answer comes
 * back as a record through the callback, on the HTTP client thread, exactly
 * once for each request that was started and ends before the connection is
 * destroyed.  The record holds the scalar members of the answer's outermost
 * JSON object (null, true and false become integers 0, 1, 0; negative
 * integers that fit 32 bits stay integers; every other number becomes a
 * double; of an array the last scalar element remains; nested objects are
 * skipped), or "_error_" naming the failure:
 *
 *   "connect timed out"        refused, or not connected within 5 s (addition)
 *   "unexpected error"         out-of-band data on the connection
 *   "send failed"              sending failed, or the device took nothing
 *                              for 2 s while the request was going out
 *   "connection reset"         the device reset or closed the connection
 *                              before the answer was complete (an answer
 *                              without a length is never complete)
 *   "recv failed"              receiving failed
 *   "recv timed out"           no complete answer 2 s after the request
 *   "HTTP upgrade is not supported"
 *   "HTTP parse failed"        the answer is not HTTP
 *   "unexpected HTTP status code"  any status but 200
 *   "invalid JSON format"      a 200 answer whose body is not one JSON value
 *   "answer too large"         the body passed 1 MiB (addition)
 *
 * A request whose socket cannot be made gets no callback; a log line reports
 * it.  The answer record is destroyed when the callback returns: copy what
 * you need.  Any number of requests may be in flight; while they wait the
 * thread sleeps.  Releasing the last reference returns within
 * milliseconds: requests in flight end without their callbacks and queued
 * ones are dropped.  A callback must not drop the last reference of its own
 * connection; if it does, the thread ends after that callback and calls no
 * other.  Every function ignores a null handle.
 */
#ifndef VEMX_DEVCON_H
#define VEMX_DEVCON_H

#include <stddef.h>
#include <stdint.h>

#include "vemx_export.h"

VEMX_EXTERN_C_BEGIN

/* answer is a vemx_devinfo handle, valid during the call only. */
typedef void (*vemx_devcon_callback_fn)(void* answer, void* user);

/* A connection with an empty identity (reference count 1); null when it
 * cannot be made. */
VEMX_API void* vemx_devcon_new(void);
/* Addition: a connection to a device known without discovery, at the
 * dotted-decimal IPv4 address ip, TCP port and request path uri (ID and MAC
 * zero).  An address that does not parse makes every request end with
 * "connect timed out".  Null when it cannot be made. */
VEMX_API void* vemx_devcon_new2(const char* ip, uint16_t port, const char* uri);
VEMX_API void vemx_devcon_add_ref(void* con);
VEMX_API void vemx_devcon_release(void* con);

VEMX_API void vemx_devcon_get_id(void* con, uint32_t* id);
/* Copies the first min(*size, 6) bytes; *size is not changed. */
VEMX_API void vemx_devcon_get_mac_address(void* con, uint8_t* mac, size_t* size);
/* The dotted-decimal address, cut to *size - 1 bytes and terminated; *size
 * is not changed. */
VEMX_API void vemx_devcon_get_ip(void* con, char* buffer, size_t* size);
VEMX_API void vemx_devcon_get_port(void* con, uint16_t* port);
/* The request path, as vemx_devcon_get_ip. */
VEMX_API void vemx_devcon_get_uri(void* con, char* buffer, size_t* size);

/* Starts the HTTP client thread; a second call logs "inited already".
 * Requests queued before wait for it. */
VEMX_API void vemx_devcon_init(void* con);
/* Queues a POST of request (not null; it gains a reference until the
 * request ends and must not change meanwhile).  Non-zero when the thread
 * was signalled. */
VEMX_API int32_t vemx_devcon_request(void* con, void* request, vemx_devcon_callback_fn callback,
                                     void* user);

VEMX_EXTERN_C_END

#endif
