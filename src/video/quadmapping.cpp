// Projective mapping between two quadrilaterals.  Each quadrilateral gets a
// basis matrix that takes the homogeneous points (1,0,0), (0,1,0), (0,0,1)
// and (1,1,1) to its four corners; chaining one basis inverse with the other
// basis maps A onto B and back.  Matrices act on row vectors: (x, y, 1) * M.
#include "vemx/vemx_quadmapping.h"

#include "frame/handle.h"

namespace __quadmapping_details__ {

using Matrix = float[9];  // row-major 3x3

// Inverse as the adjugate times the reciprocal of the determinant.  A
// singular matrix gives infinite or NaN entries, which callers see as such.
void Invert(const Matrix m, Matrix out) {
    const float c00 = m[4] * m[8] - m[5] * m[7];
    const float c01 = m[5] * m[6] - m[3] * m[8];
    const float c02 = m[3] * m[7] - m[4] * m[6];
    const float inv_det = 1.0f / (m[0] * c00 + m[1] * c01 + m[2] * c02);
    out[0] = c00 * inv_det;
    out[1] = (m[2] * m[7] - m[1] * m[8]) * inv_det;
    out[2] = (m[1] * m[5] - m[2] * m[4]) * inv_det;
    out[3] = c01 * inv_det;
    out[4] = (m[0] * m[8] - m[2] * m[6]) * inv_det;
    out[5] = (m[2] * m[3] - m[0] * m[5]) * inv_det;
    out[6] = c02 * inv_det;
    out[7] = (m[1] * m[6] - m[0] * m[7]) * inv_det;
    out[8] = (m[0] * m[4] - m[1] * m[3]) * inv_det;
}

void Multiply(const Matrix a, const Matrix b, Matrix out) {
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            out[r * 3 + c] = a[r * 3] * b[c] + a[r * 3 + 1] * b[3 + c] + a[r * 3 + 2] * b[6 + c];
}

// Rows lambda_i * (x_i, y_i, 1) for corners 0..2, where (lambda_0..2) is
// corner 3 expressed in the frame of the first three corners.
void Basis(const float* quad, Matrix out) {
    const Matrix p = {quad[0], quad[1], 1.0f, quad[2], quad[3], 1.0f, quad[4], quad[5], 1.0f};
    Matrix inv;
    Invert(p, inv);
    const float x3 = quad[6], y3 = quad[7];
    for (int i = 0; i < 3; ++i) {
        const float lambda = x3 * inv[i] + y3 * inv[3 + i] + inv[6 + i];
        out[i * 3] = lambda * p[i * 3];
        out[i * 3 + 1] = lambda * p[i * 3 + 1];
        out[i * 3 + 2] = lambda;
    }
}

void Apply(const Matrix m, const float* point, float* result) {
    const float x = point[0], y = point[1];
    const float w = x * m[2] + y * m[5] + m[8];
    result[0] = (x * m[0] + y * m[3] + m[6]) / w;
    result[1] = (x * m[1] + y * m[4] + m[7]) / w;
}

class quadmapping final : public vemx::frame::RefCounted {
  public:
    void Init(const float* quad_a, const float* quad_b) {
        Matrix ba, bb, ba_inv, bb_inv;
        Basis(quad_a, ba);
        Basis(quad_b, bb);
        Invert(ba, ba_inv);
        Invert(bb, bb_inv);
        Multiply(bb_inv, ba, b2a_);
        Multiply(ba_inv, bb, a2b_);
    }
    void A2B(const float* point, float* result) const { Apply(a2b_, point, result); }
    void B2A(const float* point, float* result) const { Apply(b2a_, point, result); }

  private:
    // Zero until Init: mapping then divides 0 by 0 and yields NaN.
    Matrix b2a_{};
    Matrix a2b_{};
};

}  // namespace __quadmapping_details__

using __quadmapping_details__::quadmapping;
using vemx::frame::FromHandle;
using vemx::frame::Guarded;

VEMX_EXPORT void* vemx_quadmapping_new(void) {
    return vemx::frame::NewHandle<quadmapping>();
}

VEMX_EXPORT void vemx_quadmapping_add_ref(void* handle) {
    Guarded("vemx_quadmapping_add_ref", [&] { vemx::frame::AddRefHandle(handle); });
}

VEMX_EXPORT void vemx_quadmapping_release(void* handle) {
    Guarded("vemx_quadmapping_release", [&] { vemx::frame::ReleaseHandle(handle); });
}

VEMX_EXPORT int vemx_quadmapping_init(void* handle, const float* quad_a, const float* quad_b) {
    return Guarded("vemx_quadmapping_init", 0, [&] {
        FromHandle<quadmapping>(handle)->Init(quad_a, quad_b);
        return 0;
    });
}

VEMX_EXPORT int vemx_quadmapping_A2B(void* handle, const float* point, float* result) {
    return Guarded("vemx_quadmapping_A2B", 0, [&] {
        FromHandle<quadmapping>(handle)->A2B(point, result);
        return 0;
    });
}

VEMX_EXPORT int vemx_quadmapping_B2A(void* handle, const float* point, float* result) {
    return Guarded("vemx_quadmapping_B2A", 0, [&] {
        FromHandle<quadmapping>(handle)->B2A(point, result);
        return 0;
    });
}
