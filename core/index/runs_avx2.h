// The two register blocks that carry a long AVX2 scan, scheduled by hand: 6
// queries against the 2 columns of a group for products (dot product), 4
// queries against them for Euclidean terms. One call computes one group's
// running totals for those queries over all of dim (a positive multiple of
// 16) and tests them against the queries' gates while they are still in
// registers, so the caller leaves its loop only for a group that may change a
// heap.
//
// Why by hand (measured on Zen 3): these loops are bound by how many
// instructions, vector loads included, reach the floating-point units per
// cycle, by their order, and (for Euclidean terms, whose chains are a step
// longer) by how long their operations wait on loads. The compiler's loop
// spends three pointer increments and a compare on every step of 16
// components, spills running totals around every block, and interleaves each
// product with its sum; unrolled whole, it reorders the block into spills.
// Here a block of 16 steps is unrolled with constant offsets, every step loads
// each column once and broadcasts each query component once, a query's two
// products (or differences and squares) are issued before their two sums, the
// running totals live in a small array between blocks, and the gate is tested
// in registers. Half of the Euclidean subtractions run as fma(v, -1, q) on the
// multiply units, the other half on the add units; the Euclidean block keeps
// one register per query so that each loads its next component a step ahead.
//
// Arithmetic: the defined order per lane, as in kernels_impl.h: a block sum
// starts from its first term and adds the next fifteen left to right, then is
// added to the running total, which starts at +0.0. Every product, difference
// and sum is rounded on its own; the only fused instruction is fma(v, -1, q)
// for q - v (an exact product, so one rounding), written as vfnmadd with 1.0.
//
// Include only from kernels_impl.h in the AVX2 build (KERNEL_WIDTH 8, with
// FMA), inside its namespace: V is that build's 8-lane float vector.
#pragma once

// Loads one step's component of both columns into ymm0 and ymm1; OFF is its
// byte offset from BASE (64 bytes a component, 1024 a block; the queries'
// offset idx advances 64 bytes a block, 4 a component).
#define ORVEX_COLUMNS(OFF, BASE)                 \
  "vmovaps " OFF "(" BASE "), %%ymm0\n\t"     \
  "vmovaps " OFF "+32(" BASE "), %%ymm1\n\t"

// The running total at byte OFF of the totals array plus block sum S. Step 0
// of a block adds the previous block's sums (zero before the first block)
// just before it overwrites them, which keeps both kinds of unit busy.
#define ORVEX_TOTAL(S, OFF)                                 \
  "vaddps " OFF "(%[t]), %%ymm" S ", %%ymm" S "\n\t"      \
  "vmovaps %%ymm" S ", " OFF "(%[t])\n\t"

// Products: column 0 in ymm0, column 1 in ymm1, the query component in ymm2,
// a product in ymm3; the block sums of query a in ymm(4 + 2a) and ymm(5 + 2a).
#define ORVEX_PRODUCTS_FIRST(Q, S0, T0, S1, T1)             \
  "vbroadcastss (%[" Q "],%[idx]), %%ymm2\n\t"              \
  ORVEX_TOTAL(S0, T0) ORVEX_TOTAL(S1, T1)                   \
  "vmulps %%ymm2, %%ymm0, %%ymm" S0 "\n\t"                \
  "vmulps %%ymm2, %%ymm1, %%ymm" S1 "\n\t"
#define ORVEX_PRODUCTS_NEXT(Q, S0, S1)                      \
  "vbroadcastss \\i*4(%[" Q "],%[idx]), %%ymm2\n\t"        \
  "vmulps %%ymm2, %%ymm0, %%ymm3\n\t"                       \
  "vmulps %%ymm2, %%ymm1, %%ymm2\n\t"                       \
  "vaddps %%ymm3, %%ymm" S0 ", %%ymm" S0 "\n\t"           \
  "vaddps %%ymm2, %%ymm" S1 ", %%ymm" S1 "\n\t"

// Euclidean terms, each query's component loaded a step ahead: columns in
// ymm0 and ymm1, q - v0 in ymm2, 1.0 in ymm3, query a's component in ymm(4 +
// a) (then q - v1), its block sums in ymm(8 + 2a) and ymm(9 + 2a). A query
// loads its next component (at address NEXT) right after its last use of the
// current one, a whole step before it is needed: measured on Zen 3, waiting
// on freshly broadcast components cost about 5% of the bound. The last query
// of a step loads the next step's columns the same way (LAST).
#define ORVEX_DIFFERENCES(Q)                  \
  "vsubps %%ymm0, %%ymm" Q ", %%ymm2\n\t" \
  "vfnmadd231ps %%ymm3, %%ymm1, %%ymm" Q "\n\t"
#define ORVEX_SQUARES_FIRST(Q, S0, T0, S1, T1, NEXT, LAST)    \
  ORVEX_TOTAL(S0, T0) ORVEX_TOTAL(S1, T1)                     \
  ORVEX_DIFFERENCES(Q) LAST                                   \
  "vmulps %%ymm2, %%ymm2, %%ymm" S0 "\n\t"                  \
  "vmulps %%ymm" Q ", %%ymm" Q ", %%ymm" S1 "\n\t"          \
  "vbroadcastss " NEXT ", %%ymm" Q "\n\t"
#define ORVEX_SQUARES_NEXT(Q, S0, S1, NEXT, LAST)             \
  ORVEX_DIFFERENCES(Q) LAST                                   \
  "vmulps %%ymm2, %%ymm2, %%ymm2\n\t"                         \
  "vmulps %%ymm" Q ", %%ymm" Q ", %%ymm" Q "\n\t"           \
  "vaddps %%ymm2, %%ymm" S0 ", %%ymm" S0 "\n\t"             \
  "vaddps %%ymm" Q ", %%ymm" S1 ", %%ymm" S1 "\n\t"         \
  "vbroadcastss " NEXT ", %%ymm" Q "\n\t"
// One step of the four queries, which loads the next components at offset
// NQOFF from each query plus QBASE and the next columns at NOFF from CBASE.
#define ORVEX_SQUARES_STEP(NQOFF, QBASE, NOFF, CBASE)                  \
  ORVEX_SQUARES_NEXT("4", "8", "9", NQOFF "(%[q0]," QBASE ")", "")     \
  ORVEX_SQUARES_NEXT("5", "10", "11", NQOFF "(%[q1]," QBASE ")", "")   \
  ORVEX_SQUARES_NEXT("6", "12", "13", NQOFF "(%[q2]," QBASE ")", "")   \
  ORVEX_SQUARES_NEXT("7", "14", "15", NQOFF "(%[q3]," QBASE ")", ORVEX_COLUMNS(NOFF, CBASE))

// The totals S0 and S1 of one query against its limit at byte LIM of the
// limits (predicate PRED: 29 is >=, 18 is <=; both ordered, so a NaN total
// never passes), or-ed into ymm1.
#define ORVEX_GATE(PRED, LIM, S0, S1)                       \
  "vbroadcastss " LIM "(%[lim]), %%ymm0\n\t"                \
  "vcmpps $" PRED ", %%ymm0, %%ymm" S0 ", %%ymm2\n\t"     \
  "vorps %%ymm2, %%ymm1, %%ymm1\n\t"                        \
  "vcmpps $" PRED ", %%ymm0, %%ymm" S1 ", %%ymm2\n\t"     \
  "vorps %%ymm2, %%ymm1, %%ymm1\n\t"

// Zeroes every register and the running totals at byte OFFSETS of the
// totals array.
#define ORVEX_BEGIN(OFFSETS)              \
  "vzeroall\n\t"                        \
  ".irp o," OFFSETS "\n\t"              \
  "vmovaps %%ymm0, \\o(%[t])\n\t"       \
  ".endr\n\t"
// Opens the loop over blocks and loads step 0's columns.
#define ORVEX_BLOCK "1:\n\t" ORVEX_COLUMNS("0", "%[c]")
// Steps i = 1 .. 15 of a block (the assembler repeats the text for each i); their
// columns are loaded here, the rest comes before ORVEX_STEPS_END.
#define ORVEX_STEPS ".irp i,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15\n\t" ORVEX_COLUMNS("\\i*64", "%[c]")
#define ORVEX_STEPS_END ".endr\n\t"
#define ORVEX_NEXT_BLOCK     \
  "add $1024, %[c]\n\t"      \
  "add $64, %[idx]\n\t"      \
  "dec %[k]\n\t"             \
  "jnz 1b\n\t"
#define ORVEX_CLOBBERS                                                                                  \
  "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", "xmm9", "xmm10", "xmm11", "xmm12", \
      "xmm13", "xmm14", "xmm15", "memory", "cc"

// Group `group` (64-byte aligned, component i of lane l of column b at
// 16 i + 8 b + l) against queries q[0..5]: computes tot[a][b], the running
// totals of query a and column b over blocks = dim / 16 >= 1 blocks, and
// returns whether some lane has tot[a][b] >= limit[a].
inline bool run_products_6x2(const float* const* q, const float* group, size_t blocks, const float* limit,
                             V (&tot)[6][2]) {
  size_t idx = 0;
  unsigned mask;
  asm volatile(
      ORVEX_BEGIN("0,32,64,96,128,160,192,224,256,288,320,352")
      ORVEX_BLOCK
      ORVEX_PRODUCTS_FIRST("q0", "4", "0", "5", "32") ORVEX_PRODUCTS_FIRST("q1", "6", "64", "7", "96")
      ORVEX_PRODUCTS_FIRST("q2", "8", "128", "9", "160") ORVEX_PRODUCTS_FIRST("q3", "10", "192", "11", "224")
      ORVEX_PRODUCTS_FIRST("q4", "12", "256", "13", "288") ORVEX_PRODUCTS_FIRST("q5", "14", "320", "15", "352")
      ORVEX_STEPS
      ORVEX_PRODUCTS_NEXT("q0", "4", "5") ORVEX_PRODUCTS_NEXT("q1", "6", "7")
      ORVEX_PRODUCTS_NEXT("q2", "8", "9") ORVEX_PRODUCTS_NEXT("q3", "10", "11")
      ORVEX_PRODUCTS_NEXT("q4", "12", "13") ORVEX_PRODUCTS_NEXT("q5", "14", "15")
      ORVEX_STEPS_END
      ORVEX_NEXT_BLOCK
      ORVEX_TOTAL("4", "0") ORVEX_TOTAL("5", "32") ORVEX_TOTAL("6", "64") ORVEX_TOTAL("7", "96")
      ORVEX_TOTAL("8", "128") ORVEX_TOTAL("9", "160") ORVEX_TOTAL("10", "192") ORVEX_TOTAL("11", "224")
      ORVEX_TOTAL("12", "256") ORVEX_TOTAL("13", "288") ORVEX_TOTAL("14", "320") ORVEX_TOTAL("15", "352")
      "vxorps %%xmm1, %%xmm1, %%xmm1\n\t"
      ORVEX_GATE("29", "0", "4", "5") ORVEX_GATE("29", "4", "6", "7") ORVEX_GATE("29", "8", "8", "9")
      ORVEX_GATE("29", "12", "10", "11") ORVEX_GATE("29", "16", "12", "13") ORVEX_GATE("29", "20", "14", "15")
      "vmovmskps %%ymm1, %k[mask]\n\t"
      : [c] "+r"(group), [idx] "+r"(idx), [k] "+r"(blocks), [mask] "=&r"(mask)
      : [q0] "r"(q[0]), [q1] "r"(q[1]), [q2] "r"(q[2]), [q3] "r"(q[3]), [q4] "r"(q[4]), [q5] "r"(q[5]),
        [t] "r"(&tot[0][0]), [lim] "r"(limit)
      : ORVEX_CLOBBERS);
  return mask != 0;
}

// The same for Euclidean terms and queries q[0..3]: returns whether some lane
// has tot[a][b] <= limit[a]. Every load stays inside the queries and the
// group: on the last block, the loads a step ahead of step 15 (which would
// reach past both) read the block's own step 0 instead, through ni and nc.
inline bool run_squares_4x2(const float* const* q, const float* group, size_t blocks, const float* limit,
                            V (&tot)[4][2]) {
  static constexpr float kOne = 1.0f;
  size_t idx = 0, ni, nc;
  unsigned mask;
  asm volatile(
      ORVEX_BEGIN("0,32,64,96,128,160,192,224")
      "vbroadcastss %[one], %%ymm3\n\t"
      "vbroadcastss (%[q0]), %%ymm4\n\t"
      "vbroadcastss (%[q1]), %%ymm5\n\t"
      "vbroadcastss (%[q2]), %%ymm6\n\t"
      "vbroadcastss (%[q3]), %%ymm7\n\t"
      ORVEX_COLUMNS("0", "%[c]")
      "1:\n\t"
      // Where step 15 loads the next block's components and columns: on the
      // last block, this block's own, so that nothing past the end is read.
      "lea 64(%[idx]), %[ni]\n\t"
      "lea 1024(%[c]), %[nc]\n\t"
      "cmp $1, %[k]\n\t"
      "cmove %[idx], %[ni]\n\t"
      "cmove %[c], %[nc]\n\t"
      ORVEX_SQUARES_FIRST("4", "8", "0", "9", "32", "4(%[q0],%[idx])", "")
      ORVEX_SQUARES_FIRST("5", "10", "64", "11", "96", "4(%[q1],%[idx])", "")
      ORVEX_SQUARES_FIRST("6", "12", "128", "13", "160", "4(%[q2],%[idx])", "")
      ORVEX_SQUARES_FIRST("7", "14", "192", "15", "224", "4(%[q3],%[idx])", ORVEX_COLUMNS("64", "%[c]"))
      ".irp i,1,2,3,4,5,6,7,8,9,10,11,12,13,14\n\t"
      ORVEX_SQUARES_STEP("\\i*4+4", "%[idx]", "\\i*64+64", "%[c]")
      ".endr\n\t"
      ORVEX_SQUARES_STEP("0", "%[ni]", "0", "%[nc]")
      ORVEX_NEXT_BLOCK
      ORVEX_TOTAL("8", "0") ORVEX_TOTAL("9", "32") ORVEX_TOTAL("10", "64") ORVEX_TOTAL("11", "96")
      ORVEX_TOTAL("12", "128") ORVEX_TOTAL("13", "160") ORVEX_TOTAL("14", "192") ORVEX_TOTAL("15", "224")
      "vxorps %%xmm1, %%xmm1, %%xmm1\n\t"
      ORVEX_GATE("18", "0", "8", "9") ORVEX_GATE("18", "4", "10", "11") ORVEX_GATE("18", "8", "12", "13")
      ORVEX_GATE("18", "12", "14", "15")
      "vmovmskps %%ymm1, %k[mask]\n\t"
      : [c] "+r"(group), [idx] "+r"(idx), [k] "+r"(blocks), [mask] "=&r"(mask), [ni] "=&r"(ni), [nc] "=&r"(nc)
      : [q0] "r"(q[0]), [q1] "r"(q[1]), [q2] "r"(q[2]), [q3] "r"(q[3]), [t] "r"(&tot[0][0]), [lim] "r"(limit),
        [one] "m"(kOne)
      : ORVEX_CLOBBERS);
  return mask != 0;
}

#undef ORVEX_COLUMNS
#undef ORVEX_PRODUCTS_FIRST
#undef ORVEX_PRODUCTS_NEXT
#undef ORVEX_SQUARES_FIRST
#undef ORVEX_SQUARES_NEXT
#undef ORVEX_DIFFERENCES
#undef ORVEX_SQUARES_STEP
#undef ORVEX_TOTAL
#undef ORVEX_GATE
#undef ORVEX_BEGIN
#undef ORVEX_BLOCK
#undef ORVEX_STEPS
#undef ORVEX_STEPS_END
#undef ORVEX_NEXT_BLOCK
#undef ORVEX_CLOBBERS
