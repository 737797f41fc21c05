/*
 * Processing amplifier: contrast, brightness, hue and saturation of 8-bit YUV
 * pictures (planar 4:2:0, packed 4:2:2 Y0 U Y1 V, planar 4:2:2).
 *
 * A record holds the four controls.  Set them as real numbers
 * (vemx_procamp_update: contrast gain, brightness as a fraction of 255, hue in
 * radians, saturation gain) or as slider positions 0..255 with 128 neutral
 * (vemx_procamp_update1).  A control's fixed-point term is recomputed only
 * when its value changes.  Defaults: contrast 1.0, brightness 0.5, hue 0.0,
 * saturation 1.0; they lower every luma sample by 1 and leave chroma alone.
 *
 * Pixel rule, in 16-bit lanes with arithmetic shifts, clamped to 0..255:
 *   Y' = ((Y - 128) * contrast + brightness) >> 6
 *   U' = ((U - 128) * cos + (V - 128) * sin + 8192) >> 6
 *   V' = ((V - 128) * cos - (U - 128) * sin + 8192) >> 6
 *
 * Nothing is validated.  Every plane address and stride must be a multiple of
 * 16 bytes.  Work is done in steps: 32 luma samples (with 16 of each chroma
 * plane) for the planar layouts, 16 pixels for packed 4:2:2; columns beyond
 * the last whole step are left untouched.  Planar 4:2:0 works on pairs of rows
 * (a height below 2 writes nothing).  Source and destination may be the same
 * buffers.  A record may be used by several threads adjusting at once, as
 * long as nobody updates it meanwhile.
 */
#ifndef VEMX_PROCAMP_H
#define VEMX_PROCAMP_H

#include <stdint.h>

#include "vemx_export.h"

VEMX_EXTERN_C_BEGIN

/* A record with the defaults, or null when memory is exhausted. */
VEMX_API void* vemx_procamp_new(void);
/* Frees the record; null is ignored. */
VEMX_API void vemx_procamp_release(void* procamp);

VEMX_API void vemx_procamp_update(void* procamp, double contrast, double brightness, double hue,
                                  double saturation);
/* Slider positions 0..255, 128 neutral: contrast 0.5..1.5, brightness
 * 0..255/256, hue rotation -pi/2..+pi/2 (positions wrap modulo 256; keep them
 * non-negative), saturation 0..2. */
VEMX_API void vemx_procamp_update1(void* procamp, int32_t contrast, int32_t brightness, int32_t hue,
                                   int32_t saturation);

VEMX_API void vemx_procamp_adjust_yv12(void* procamp, uint32_t width, uint32_t height, const uint8_t* src_y,
                                       const uint8_t* src_u, const uint8_t* src_v, int32_t src_y_stride,
                                       int32_t src_u_stride, int32_t src_v_stride, uint8_t* dst_y,
                                       uint8_t* dst_u, uint8_t* dst_v, int32_t dst_y_stride,
                                       int32_t dst_u_stride, int32_t dst_v_stride);
VEMX_API void vemx_procamp_adjust_yuy2(void* procamp, uint32_t width, uint32_t height, const uint8_t* src,
                                       int32_t src_stride, uint8_t* dst, int32_t dst_stride);
/* Planar 4:2:2: chroma planes of half width and full height. */
VEMX_API void vemx_procamp_adjust_yuy2_p(void* procamp, uint32_t width, uint32_t height,
                                         const uint8_t* src_y, const uint8_t* src_u, const uint8_t* src_v,
                                         int32_t src_y_stride, int32_t src_u_stride, int32_t src_v_stride,
                                         uint8_t* dst_y, uint8_t* dst_u, uint8_t* dst_v, int32_t dst_y_stride,
                                         int32_t dst_u_stride, int32_t dst_v_stride);

VEMX_EXTERN_C_END

#endif
