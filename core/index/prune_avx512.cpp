// The pruned Euclidean scan built for avx512 (see prune_impl.h).
#define PRUNE_NAMESPACE avx512_prune
#define PRUNE_SCAN prune_avx512
#define PRUNE_WIDTH 16
#define PRUNE_NQ 8
#define PRUNE_NG 1
#include "prune_impl.h"
