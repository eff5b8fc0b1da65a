// The scan kernel built for the portable instruction set (see kernels_impl.h).
#define KERNEL_NAMESPACE portable_build
#define KERNEL_SCAN scan_portable
#define KERNEL_MAX_NQ 1
#define KERNEL_NG 1
#include "kernels_impl.h"
