// Kernel dispatch: which build of the scan kernels (kernels.h) searches run.
// The path starts as the best one the CPU offers and stays until
// set_kernel_path chooses another (that public half of the dispatch,
// KernelPath and its three functions, is declared in distance.h and defined
// here). The pruned scan runs on the AVX2 and AVX-512 paths while pruning
// is switched on, as it is from the start.
//
// Errors: none; set_kernel_path refuses a path the CPU cannot run.
//
// Thread-safety: the path and the pruning switch are atomics, read and set
// from any thread; a search reads them once, at its start, and keeps what
// it read.
#pragma once

#include "../distance.h"
#include "kernels.h"

namespace orvex::kernels {

// The scan of the active kernel path.
ScanFn active_scan();

// The pruned scan of the active kernel path, or null (the portable path
// does not prune, nor does any path while pruning is switched off).
PruneFn active_prune();
// Switches pruning on (the default) or off; for benchmarks and tests.
void set_pruning(bool on);

}  // namespace orvex::kernels
