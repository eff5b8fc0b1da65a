// The scan kernel built for the avx2 instruction set (see kernels_impl.h).
// Register blocks measured best on an AMD EPYC (Zen 4).
#define KERNEL_NAMESPACE avx2_build
#define KERNEL_SCAN scan_avx2
#define KERNEL_WIDTH 8
#define KERNEL_NQ_L2 3
#define KERNEL_NC_L2 2
#define KERNEL_NQ_DOT 6
#define KERNEL_NC_DOT 1
#define KERNEL_NC1 2
#include "kernels_impl.h"
