/* Export and linkage macros shared by every vemx public header. */
#ifndef VEMX_EXPORT_H
#define VEMX_EXPORT_H

#if defined(VEMX_BUILDING_LIBRARY)
#define VEMX_API __attribute__((visibility("default")))
#else
#define VEMX_API
#endif

#ifdef __cplusplus
#define VEMX_EXTERN_C_BEGIN extern "C" {
#define VEMX_EXTERN_C_END }
#else
#define VEMX_EXTERN_C_BEGIN
#define VEMX_EXTERN_C_END
#endif

#endif
