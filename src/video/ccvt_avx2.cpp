// AVX2 kernels: every conversion, two lanes of pixels per instruction.
#include "video/ccvt_reencode_kernels.h"
#include "video/ccvt_yuy2_kernels.h"
#include "video/ccvt_yv12_kernels.h"

namespace vemx::ccvt {

void FillAvx2(Kernels& k) {
    FillYv12Rgb<V256>(k);
    FillYuy2Rgb<V256>(k);
    k.yv12_sony = &Yv12Sony<V256>;
    k.yv12_bt2020 = &Yv12Bt2020<V256>;
}

}  // namespace vemx::ccvt
