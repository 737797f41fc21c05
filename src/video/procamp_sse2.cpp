// SSE2 processing amplifier kernels.
#include "video/procamp_kernels.h"

namespace vemx::procamp {

void FillSse2(Kernels& k) { Fill<V128>(k); }

}  // namespace vemx::procamp
