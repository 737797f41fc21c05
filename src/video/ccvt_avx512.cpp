// AVX-512 kernels: every conversion, four lanes of pixels per instruction.
#include "video/ccvt_reencode_kernels.h"
#include "video/ccvt_yuy2_kernels.h"
#include "video/ccvt_yv12_kernels.h"

namespace vemx::ccvt {

void FillAvx512(Kernels& k) {
    FillYv12Rgb<V512>(k);
    FillYuy2Rgb<V512>(k);
    k.yv12_sony = &Yv12Sony<V512>;
    k.yv12_bt2020 = &Yv12Bt2020<V512>;
}

}  // namespace vemx::ccvt
