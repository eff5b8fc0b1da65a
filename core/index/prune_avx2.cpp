// The pruned Euclidean scan built for avx2 with FMA (see prune_impl.h).
#define PRUNE_NAMESPACE avx2_prune
#define PRUNE_SCAN prune_avx2
#define PRUNE_WIDTH 8
#define PRUNE_NQ 3
#define PRUNE_NG 2
#include "prune_impl.h"
