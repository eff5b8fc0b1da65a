// The scan kernel built for the avx2 instruction set (see kernels_impl.h).
#define KERNEL_NAMESPACE avx2_build
#define KERNEL_SCAN scan_avx2
#define KERNEL_WIDTH 8
#define KERNEL_MAX_NQ 3
#define KERNEL_NC 2
#define KERNEL_NC1 2
#include "kernels_impl.h"
