// AVX-512 processing amplifier kernels.
#include "video/procamp_kernels.h"

namespace vemx::procamp {

void FillAvx512(Kernels& k) {
    Fill<ccvt::V512>(k);
}

}  // namespace vemx::procamp
