// The scan kernel built for the portable instruction set (see kernels_impl.h).
// Register blocks measured best on an AMD EPYC.
#define KERNEL_NAMESPACE portable_build
#define KERNEL_SCAN scan_portable
#define KERNEL_WIDTH 4
#define KERNEL_NQ_L2 2
#define KERNEL_NC_L2 3
#define KERNEL_NQ_DOT 2
#define KERNEL_NC_DOT 3
#define KERNEL_NC1 4
#define KERNEL_SPLIT_SUBTRACTIONS 0
#include "kernels_impl.h"
