// The scan kernel built for the portable instruction set (see kernels_impl.h).
#define KERNEL_NAMESPACE portable_build
#define KERNEL_SCAN scan_portable
#define KERNEL_WIDTH 4
#define KERNEL_MAX_NQ 2
#define KERNEL_NC 3
#define KERNEL_NC1 4
#include "kernels_impl.h"
