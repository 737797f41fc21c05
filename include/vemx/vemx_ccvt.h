/*
 * Colour conversion: 8-bit YUV pictures to packed RGB/BGR, and re-encoding of
 * planar YUV pictures from one colour matrix to another.
 *
 * The functions keep no state, never allocate, never log and never fail; any
 * number of threads may call them at once on distinct pictures.
 *
 * Nothing is validated: the work is done on SIMD registers with aligned loads
 * and non-temporal stores, so the caller must keep these rules.
 *  - Every plane address and every stride, source and destination, is a
 *    multiple of 16 bytes.  Strides may be negative (a destination pointer to
 *    the last row with a negative stride flips the picture vertically).
 *  - Pixels are converted in groups (32, or 16 for the 32-bit YUY2 outputs);
 *    a row gets floor(width / group) groups and the columns beyond them are
 *    left untouched.  A width below the group size writes nothing.
 *  - YV12 input is converted in pairs of rows sharing one chroma row: a height
 *    below 2 writes nothing and the last row of an odd height is untouched.
 *    YUY2 input is converted on every row.
 *  - matrix is 0..6 and is not range-checked:
 *      0  BT.601 full range (fixed constants)   1  BT.601 limited range
 *      2  BT.709 limited range                  3  BT.601 full range
 *      4  BT.709 full range                     5  BT.2020 limited range
 *      6  BT.2020 full range
 *    The camera (_sony) functions have coefficients for matrix 6 only and
 *    write black (RGB) or zeros (YV12) for any other index;
 *    vemx_ccvt_yv12_bt2020 re-encodes with matrix 4 only (BT.2020 full range
 *    to BT.709 full range) and writes zeros for any other index.
 *  - vemx_ccvt_yv12_bgr32 with matrix 6 gives exactly the output of
 *    vemx_ccvt_yv12_bgr32_sony with matrix 6.
 *
 * Arithmetic: 16-bit signed lanes keeping the low 16 bits of every product
 * and sum, gains in units of 1/64, an arithmetic shift right by 6 (rounding
 * down) and a clamp to 0..255 after the shift.  Chroma is not interpolated:
 * each chroma sample serves its 2x2 (YV12) or 2x1 (YUY2) block unchanged.
 * The fourth byte of every 32-bit pixel is 0.
 *
 * The library picks an AVX2 implementation when the processor has it and an
 * SSE2/SSSE3 one otherwise; both give identical bytes.  VEMX_SIMD=sse2 in the
 * environment before the library loads forces the SSE implementation.
 */
#ifndef VEMX_CCVT_H
#define VEMX_CCVT_H

#include <stdint.h>

#include "vemx_export.h"

VEMX_EXTERN_C_BEGIN

/* YV12 (planar 4:2:0, three separate planes) to packed 24/32-bit pixels.
 * rgb24: R,G,B  rgb32: R,G,B,0  bgr24: B,G,R  bgr32: B,G,R,0.  32 pixels per group. */
VEMX_API void vemx_ccvt_yv12_rgb24(uint32_t width, uint32_t height, const uint8_t* y, const uint8_t* cb,
                                   const uint8_t* cr, int32_t y_stride, int32_t cb_stride, int32_t cr_stride,
                                   uint8_t* dst, int32_t dst_stride, int32_t matrix);
VEMX_API void vemx_ccvt_yv12_rgb32(uint32_t width, uint32_t height, const uint8_t* y, const uint8_t* cb,
                                   const uint8_t* cr, int32_t y_stride, int32_t cb_stride, int32_t cr_stride,
                                   uint8_t* dst, int32_t dst_stride, int32_t matrix);
VEMX_API void vemx_ccvt_yv12_bgr24(uint32_t width, uint32_t height, const uint8_t* y, const uint8_t* cb,
                                   const uint8_t* cr, int32_t y_stride, int32_t cb_stride, int32_t cr_stride,
                                   uint8_t* dst, int32_t dst_stride, int32_t matrix);
VEMX_API void vemx_ccvt_yv12_bgr32(uint32_t width, uint32_t height, const uint8_t* y, const uint8_t* cb,
                                   const uint8_t* cr, int32_t y_stride, int32_t cb_stride, int32_t cr_stride,
                                   uint8_t* dst, int32_t dst_stride, int32_t matrix);

/* The same with the camera coefficients (matrix 6). */
VEMX_API void vemx_ccvt_yv12_rgb24_sony(uint32_t width, uint32_t height, const uint8_t* y, const uint8_t* cb,
                                        const uint8_t* cr, int32_t y_stride, int32_t cb_stride,
                                        int32_t cr_stride, uint8_t* dst, int32_t dst_stride, int32_t matrix);
VEMX_API void vemx_ccvt_yv12_rgb32_sony(uint32_t width, uint32_t height, const uint8_t* y, const uint8_t* cb,
                                        const uint8_t* cr, int32_t y_stride, int32_t cb_stride,
                                        int32_t cr_stride, uint8_t* dst, int32_t dst_stride, int32_t matrix);
VEMX_API void vemx_ccvt_yv12_bgr24_sony(uint32_t width, uint32_t height, const uint8_t* y, const uint8_t* cb,
                                        const uint8_t* cr, int32_t y_stride, int32_t cb_stride,
                                        int32_t cr_stride, uint8_t* dst, int32_t dst_stride, int32_t matrix);
VEMX_API void vemx_ccvt_yv12_bgr32_sony(uint32_t width, uint32_t height, const uint8_t* y, const uint8_t* cb,
                                        const uint8_t* cr, int32_t y_stride, int32_t cb_stride,
                                        int32_t cr_stride, uint8_t* dst, int32_t dst_stride, int32_t matrix);

/* YUY2 (packed 4:2:2, bytes Y0 Cb Y1 Cr) to packed pixels.  Groups of 32
 * pixels for the 24-bit outputs, 16 for the 32-bit outputs. */
VEMX_API void vemx_ccvt_yuy2_rgb24(uint32_t width, uint32_t height, const uint8_t* src, int32_t src_stride,
                                   uint8_t* dst, int32_t dst_stride, int32_t matrix);
VEMX_API void vemx_ccvt_yuy2_rgb32(uint32_t width, uint32_t height, const uint8_t* src, int32_t src_stride,
                                   uint8_t* dst, int32_t dst_stride, int32_t matrix);
VEMX_API void vemx_ccvt_yuy2_bgr24(uint32_t width, uint32_t height, const uint8_t* src, int32_t src_stride,
                                   uint8_t* dst, int32_t dst_stride, int32_t matrix);
VEMX_API void vemx_ccvt_yuy2_bgr32(uint32_t width, uint32_t height, const uint8_t* src, int32_t src_stride,
                                   uint8_t* dst, int32_t dst_stride, int32_t matrix);
VEMX_API void vemx_ccvt_yuy2_rgb24_sony(uint32_t width, uint32_t height, const uint8_t* src,
                                        int32_t src_stride, uint8_t* dst, int32_t dst_stride, int32_t matrix);
VEMX_API void vemx_ccvt_yuy2_rgb32_sony(uint32_t width, uint32_t height, const uint8_t* src,
                                        int32_t src_stride, uint8_t* dst, int32_t dst_stride, int32_t matrix);
VEMX_API void vemx_ccvt_yuy2_bgr24_sony(uint32_t width, uint32_t height, const uint8_t* src,
                                        int32_t src_stride, uint8_t* dst, int32_t dst_stride, int32_t matrix);
VEMX_API void vemx_ccvt_yuy2_bgr32_sony(uint32_t width, uint32_t height, const uint8_t* src,
                                        int32_t src_stride, uint8_t* dst, int32_t dst_stride, int32_t matrix);

/* YV12 to YV12 re-encoding, 32 pixels per group, rows in pairs.  Each output
 * chroma sample is computed from the top-left luma sample of its 2x2 block.
 * vemx_ccvt_yv12_sony: camera material to standard YUV (matrix 6).
 * vemx_ccvt_yv12_bt2020: BT.2020 full range to BT.709 full range (matrix 4). */
VEMX_API void vemx_ccvt_yv12_sony(uint32_t width, uint32_t height, const uint8_t* src_y, const uint8_t* src_cb,
                                  const uint8_t* src_cr, int32_t src_y_stride, int32_t src_cb_stride,
                                  int32_t src_cr_stride, uint8_t* dst_y, uint8_t* dst_cb, uint8_t* dst_cr,
                                  int32_t dst_y_stride, int32_t dst_cb_stride, int32_t dst_cr_stride,
                                  int32_t matrix);
VEMX_API void vemx_ccvt_yv12_bt2020(uint32_t width, uint32_t height, const uint8_t* src_y,
                                    const uint8_t* src_cb, const uint8_t* src_cr, int32_t src_y_stride,
                                    int32_t src_cb_stride, int32_t src_cr_stride, uint8_t* dst_y,
                                    uint8_t* dst_cb, uint8_t* dst_cr, int32_t dst_y_stride,
                                    int32_t dst_cb_stride, int32_t dst_cr_stride, int32_t matrix);

VEMX_EXTERN_C_END

#endif
