// The scan kernel built for the avx2 instruction set (see kernels_impl.h).
// Register blocks measured best on an AMD EPYC (Zen 3, family 25 model 1); half
// of the Euclidean subtractions run as exact fma(v, -1, q) on the multiply units.
// Long unfiltered scans take the hand-scheduled runs of runs_avx2.h.
#define KERNEL_NAMESPACE avx2_build
#define KERNEL_SCAN scan_avx2
#define KERNEL_WIDTH 8
#define KERNEL_NQ_L2 4
#define KERNEL_NC_L2 2
#define KERNEL_NQ_DOT 5
#define KERNEL_NC_DOT 2
#define KERNEL_NC1 2
#define KERNEL_SPLIT_SUBTRACTIONS 1
#include "kernels_impl.h"
