// The scan kernel built for the avx512 instruction set (see kernels_impl.h).
#define KERNEL_NAMESPACE avx512_build
#define KERNEL_SCAN scan_avx512
#define KERNEL_WIDTH 16
#define KERNEL_MAX_NQ 4
#define KERNEL_NC 2
#define KERNEL_NC1 1
#include "kernels_impl.h"
