// The machine's peak (product, sum) loop, shared by machine.cpp and
// runs.cpp: the rate an exact dot product's terms are bound by.
#pragma once

constexpr int kPairsPerStep = 10;

// (product, sum) pairs, written out so that no compiler reorders or merges
// them: ten products of two constants (each independent, written to two
// registers in turn) and ten sums, each into its own chain, per step.
#define PAIR_LINE(R, CHAIN, PRODUCT) \
  "vmulps %%" R "14, %%" R "15, %%" R PRODUCT "\n\t" "vaddps %%" R "13, %%" R CHAIN ", %%" R CHAIN "\n\t"
#define PAIR_LOOP(R)                                                                        \
  "vbroadcastss %[aa], %%" R "13\n\tvbroadcastss %[mm], %%" R "14\n\tvbroadcastss %[x], %%" R "15\n\t" \
  ".irp i,0,1,2,3,4,5,6,7,8,9\n\tvxorps %%xmm\\i, %%xmm\\i, %%xmm\\i\n\t.endr\n\t"              \
  ".p2align 5\n\t1:\n\t"                                                                          \
  PAIR_LINE(R, "0", "11") PAIR_LINE(R, "1", "12") PAIR_LINE(R, "2", "11") PAIR_LINE(R, "3", "12")   \
  PAIR_LINE(R, "4", "11") PAIR_LINE(R, "5", "12") PAIR_LINE(R, "6", "11") PAIR_LINE(R, "7", "12")   \
  PAIR_LINE(R, "8", "11") PAIR_LINE(R, "9", "12")                                                  \
  "dec %[n]\n\tjnz 1b\n\tvzeroupper\n\t"
#define PAIR_OPERANDS                                                                              \
  : [n] "+r"(iters)                                                                                \
  : [aa] "m"(aa), [mm] "m"(mm), [x] "m"(x)                                                         \
  : "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", "xmm9", "xmm10", "xmm11", \
    "xmm12", "xmm13", "xmm14", "xmm15", "cc"
[[maybe_unused]] __attribute__((target("avx2"), noinline)) static void pairs_avx2(long iters, float x) {
  const float aa = 1e-7f, mm = 0.9999999f;
  asm volatile(PAIR_LOOP("ymm") PAIR_OPERANDS);
}
[[maybe_unused]] __attribute__((target("avx512f"), noinline)) static void pairs_avx512(long iters, float x) {
  const float aa = 1e-7f, mm = 0.9999999f;
  asm volatile(PAIR_LOOP("zmm") PAIR_OPERANDS);
}

#undef PAIR_LINE
#undef PAIR_LOOP
#undef PAIR_OPERANDS
