/*
 * Quad mapping: maps points between two quadrilaterals A and B by the
 * projective (perspective) transform that takes corner i of A to corner i of
 * B, in both directions.  Typical use is relating picture positions to a
 * keystoned region of the picture.
 *
 * A quadrilateral is 8 consecutive floats x0, y0, x1, y1, x2, y2, x3, y3; a
 * point is 2 floats x, y.  All arithmetic is single precision.
 *
 * Degenerate input is not reported: a quadrilateral with three collinear
 * corners (or any corner set whose basis matrix is singular) gives
 * non-finite (infinite or NaN) matrices, and every point mapped with them
 * comes out non-finite.  Points on the line that the transform sends to
 * infinity map to infinite or NaN coordinates.  Check the results with
 * isfinite() where such input is possible.
 *
 * The handle must not be null.  Mapping before vemx_quadmapping_init yields
 * NaN coordinates.  After init any number of threads may map concurrently;
 * init must not run concurrently with mapping on the same object.
 */
#ifndef VEMX_QUADMAPPING_H
#define VEMX_QUADMAPPING_H

#include "vemx_export.h"

VEMX_EXTERN_C_BEGIN

/* A new mapping object with reference count 1, or null when out of memory. */
VEMX_API void* vemx_quadmapping_new(void);
VEMX_API void vemx_quadmapping_add_ref(void* handle);
/* Destroys the object when the count reaches 0. */
VEMX_API void vemx_quadmapping_release(void* handle);

/* Computes both matrices from quadrilaterals A and B (8 floats each),
 * replacing those of an earlier init.  Returns 0. */
VEMX_API int vemx_quadmapping_init(void* handle, const float* quad_a, const float* quad_b);

/* Maps point (2 floats) from A's plane into B's; writes 2 floats.  Returns 0. */
VEMX_API int vemx_quadmapping_A2B(void* handle, const float* point, float* result);
/* Maps point (2 floats) from B's plane into A's; writes 2 floats.  Returns 0. */
VEMX_API int vemx_quadmapping_B2A(void* handle, const float* point, float* result);

VEMX_EXTERN_C_END

#endif
