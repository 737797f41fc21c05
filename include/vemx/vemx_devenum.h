/*
 * Device discovery: finds the devices of one device family on the local
 * networks.  A scan thread sends a short probe datagram to an IPv4 multicast
 * group (224.2.3.4, port 12345 by default) at a fixed interval; every device
 * that hears it answers with a unicast datagram naming its MAC address, a
 * 32-bit ID and the TCP port and path of its HTTP interface.  Each device seen
 * for the first time is handed to the callback as a new device connection
 * (see vemx_devcon_* for what can be done with it).
 *
 * A device is the sender address, the ID and the MAC together: the same MAC
 * and ID from another address is another device; a device whose port or URI
 * changes is not reported again.
 *
 * Additions to the original interface's behaviour:
 *  - The probe leaves on every interface that is up, multicast-capable and
 *    has an IPv4 address (IP_MULTICAST_IF per interface, the list read afresh
 *    for every probe), so devices on all attached networks are found, not
 *    only those behind the default route.  A group address that is not a
 *    multicast address (127.0.0.1, a device's own address) gets one unicast
 *    probe.
 *  - Replies are taken as they arrive, all that are waiting each time the
 *    thread wakes; the thread sleeps until the next probe is due or a reply
 *    arrives.  Intervals below 10 ms are taken as 10 ms.
 *  - At most 4096 devices are reported per enumerator; further ones are
 *    ignored (with one log line), so forged replies cannot grow memory
 *    without bound.
 *  - Releasing the last reference stops the scan thread at once (it does not
 *    finish a sleep first) and returns when the thread has ended.
 */
#ifndef VEMX_DEVENUM_H
#define VEMX_DEVENUM_H

#include "vemx_export.h"

VEMX_EXTERN_C_BEGIN

/* Receives a new device connection handle and the user pointer, on the scan
 * thread, one call at a time.  The enumerator drops its own reference when the
 * callback returns: call vemx_devcon_add_ref to keep the connection. */
typedef void (*vemx_devenum_callback_t)(void* devcon, void* user);

/* A new enumerator with reference count 1, or null when out of memory. */
VEMX_API void* vemx_devenum_new(void);
VEMX_API void vemx_devenum_add_ref(void* handle);
/* At zero the scan thread is stopped and joined.  Never drop the last
 * reference from inside the enumerator's own callback. */
VEMX_API void vemx_devenum_release(void* handle);

/* Group address as dotted IPv4 text (copied).  Takes effect for the next
 * probe; an address that does not parse is reported once and nothing is
 * sent until it is replaced. */
VEMX_API void vemx_devenum_set_mcast_addr(void* handle, const char* address);
/* UDP port of the group; the low 16 bits are used. */
VEMX_API void vemx_devenum_set_mcast_port(void* handle, unsigned int port);
/* A null callback does nothing. */
VEMX_API void vemx_devenum_set_callbacks(void* handle, vemx_devenum_callback_t callback,
                                         void* user);

/* Starts the scan thread, probing every interval_ms milliseconds (the first
 * probe at once) until the enumerator is destroyed.  Only the first call on an
 * enumerator does anything; later ones log "Still scanning devices...". */
VEMX_API void vemx_devenum_scan(void* handle, unsigned int interval_ms);

VEMX_EXTERN_C_END

#endif
