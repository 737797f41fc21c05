// SSE2 kernels: YV12 to RGB and the BT.2020 re-encoding.
#include "video/ccvt_reencode_kernels.h"
#include "video/ccvt_yv12_kernels.h"

namespace vemx::ccvt {

void FillSse2(Kernels& k) {
    FillYv12Rgb<V128>(k);
    k.yv12_bt2020 = &Yv12Bt2020<V128>;
}

}  // namespace vemx::ccvt
