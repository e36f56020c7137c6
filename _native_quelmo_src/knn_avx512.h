// AVX-512 realisations of the kNN distance kernels (F, BW, VL, DQ and VNNI),
// with the bits of the portable ones: each distance keeps the lane order of
// knn_lanes.h.  Called by the kNN unit when the CPU has those features.
#ifndef QUELMO_KNN_AVX512_H
#define QUELMO_KNN_AVX512_H

#include "knn_lanes.h"

#include <cstdint>

namespace quelmo_knn {

#if defined(QUELMO_KNN_X86)
// 1 when the CPU (and the OS, for the wide registers) offers every feature
// the kernels below use.
int avx512_usable();

// Float rows: out[j] = sqd of q with row ids[j] of X, every j < cnt.
void rows_f32_avx512(const float *X, int d, const float *q, const int32_t *ids, int cnt,
                     float *out);

// out[j] = dotp of the direction dir with row ids[j] of X, over the 8-blocks
// blocks[0 .. nblocks) (listed_blocks), or over all of them when blocks is
// null.
void dir_f32_avx512(const float *X, int d, const float *dir, const int32_t *blocks,
                    int nblocks, const int32_t *ids, int cnt, float *out);

// Byte rows of v->Xp: sqd of the byte query q, itself a row of v->Xp (rest
// elements as floats in qt), with rows ids[j], every j < cnt.
void rows_u8_avx512(const rows_view *v, const uint8_t *q, const float *qt, const int32_t *ids,
                    int cnt, float *out);

// dotp of the 16-bit direction in the layout of Xp (rest elements in qt) with
// rows ids[j].
void rows_dir_avx512(const rows_view *v, const int16_t *dir16, const float *qt,
                     const int32_t *ids, int cnt, float *out);

// The leaves: distances of rows a and a + 1 (a + 1 < m) to the rows after
// them, da[b] for b in (a, m) and db[b] for b in (a + 1, m), of the m
// contiguous float rows of L, or of the rows ids[] of v->Xp.  db[a + 1] is
// overwritten.
void leaf_f32_avx512(const float *L, int d, int m, int a, float *da, float *db);
void leaf_u8_avx512(const rows_view *v, const int32_t *ids, int m, int a, float *da,
                    float *db);
#endif

}  // namespace quelmo_knn

#endif /* QUELMO_KNN_AVX512_H */
