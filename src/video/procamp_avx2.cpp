// AVX2 processing amplifier kernels.
#include "video/procamp_kernels.h"

namespace vemx::procamp {

void FillAvx2(Kernels& k) { Fill<ccvt::V256>(k); }

}  // namespace vemx::procamp
