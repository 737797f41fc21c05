// SSSE3 kernels: the YUY2 conversions and the camera re-encoding, which rely
// on the byte shuffle, and YV12 to RGB, whose 24-bit packing it shortens.
#include "video/ccvt_reencode_kernels.h"
#include "video/ccvt_yuy2_kernels.h"
#include "video/ccvt_yv12_kernels.h"

namespace vemx::ccvt {

void FillSsse3(Kernels& k) {
    FillYuy2Rgb<V128>(k);
    k.yv12_sony = &Yv12Sony<V128>;
}

void FillSsse3Yv12(Kernels& k) {
    FillYv12Rgb<V128>(k);
}

}  // namespace vemx::ccvt
