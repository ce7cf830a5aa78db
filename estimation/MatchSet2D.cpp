// Packed two-view match sets: filling, subsets and isotropic normalisation.
#include "estimation/MatchSet2D.h"

#include <immintrin.h>

#include <cmath>

namespace {

constexpr f32 kSqrt2 = 1.4142135f;

f32 Reduce(__m128 v) {
  alignas(16) f32 e[4];
  _mm_store_ps(e, v);
  return ((e[0] + e[1]) + e[2]) + e[3];
}

// Scale that brings a distance sum over n points to a mean of sqrt(2); 1 when
// the points all coincide (or there are none) so nothing becomes infinite.
f32 ScaleFromDistanceSum(f32 numerator, f32 sum) {
  return sum > 0.0f ? numerator / sum : 1.0f;
}

}  // namespace

void MatchSet2D::Resize(u16 n) {
  if (n != count) {
    count = n;
    packedCount = static_cast<u16>(n & ~3u);
    tailCount = static_cast<u16>(n & 3u);
  }
  packed.Resize(((static_cast<u32>(n) + 3u) >> 2) * 4u);
}

void MatchSet2D::SetMatch(u32 i, f32 x1, f32 y1, f32 x2, f32 y2) {
  f32* p = reinterpret_cast<f32*>(packed.Data()) + (i & ~3u) * 4 + (i & 3u);
  p[0] = x1;
  p[4] = y1;
  p[8] = x2;
  p[12] = y2;
  if (i >= packedCount) {
    const u32 t = i - packedCount;
    tail1[t] = {x1, y1};
    tail2[t] = {x2, y2};
  }
}

void MatchSet2D::GetSubset(const MatchSet2D& source, const std::vector<u16>& list,
                           MatchSet2D& destination) {
  const u16 n = static_cast<u16>(list.size());
  destination.Resize(n);
  f32 m[4];
  for (u32 j = 0; j < n; ++j) {
    source.GetMatch(list[j], m);
    destination.SetMatch(j, m[0], m[1], m[2], m[3]);
  }
}

void MatchSet2D::Normalize(MatchSet2D& set, LA::AlignedVector4f* scratch) {
  const u32 N = set.count;
  if (N == 0) {
    for (f32& m : set.means) m = 0.0f;
    set.scale1 = set.scale2 = 1.0f;
    return;
  }
  (void)scratch;
  f32* p = reinterpret_cast<f32*>(set.packed.Data());
  const u32 blocks = set.packedCount >> 2;

  // Means: four-wide over the complete blocks, tail entry j into element j.
  __m128 s[4] = {_mm_setzero_ps(), _mm_setzero_ps(), _mm_setzero_ps(), _mm_setzero_ps()};
  for (u32 k = 0; k < blocks; ++k)
    for (int c = 0; c < 4; ++c) s[c] = _mm_add_ps(s[c], _mm_load_ps(p + k * 16 + c * 4));
  alignas(16) f32 sums[4][4];
  for (int c = 0; c < 4; ++c) _mm_store_ps(sums[c], s[c]);
  for (u32 j = 0; j < set.tailCount; ++j) {
    sums[0][j] += set.tail1[j].x;
    sums[1][j] += set.tail1[j].y;
    sums[2][j] += set.tail2[j].x;
    sums[3][j] += set.tail2[j].y;
  }
  const f32 inverse = 1.0f / static_cast<f32>(N);
  for (int c = 0; c < 4; ++c) set.means[c] = Reduce(_mm_load_ps(sums[c])) * inverse;

  // Centre, and sum the distances from the origin of both images.
  __m128 mean[4];
  for (int c = 0; c < 4; ++c) mean[c] = _mm_set1_ps(set.means[c]);
  __m128 d1 = _mm_setzero_ps(), d2 = _mm_setzero_ps();
  for (u32 k = 0; k < blocks; ++k) {
    f32* b = p + k * 16;
    __m128 v[4];
    for (int c = 0; c < 4; ++c) {
      v[c] = _mm_sub_ps(_mm_load_ps(b + c * 4), mean[c]);
      _mm_store_ps(b + c * 4, v[c]);
    }
    d1 = _mm_add_ps(d1, _mm_sqrt_ps(_mm_add_ps(_mm_mul_ps(v[0], v[0]), _mm_mul_ps(v[1], v[1]))));
    d2 = _mm_add_ps(d2, _mm_sqrt_ps(_mm_add_ps(_mm_mul_ps(v[2], v[2]), _mm_mul_ps(v[3], v[3]))));
  }
  alignas(16) f32 dist1[4], dist2[4];
  _mm_store_ps(dist1, d1);
  _mm_store_ps(dist2, d2);
  for (u32 j = 0; j < set.tailCount; ++j) {
    LA::Vector2<f32>& a = set.tail1[j];
    LA::Vector2<f32>& b = set.tail2[j];
    a.x -= set.means[0];
    a.y -= set.means[1];
    b.x -= set.means[2];
    b.y -= set.means[3];
    dist1[j] += std::sqrt(a.x * a.x + a.y * a.y);
    dist2[j] += std::sqrt(b.x * b.x + b.y * b.y);
  }
  const f32 n2 = static_cast<f32>(N) * kSqrt2;
  set.scale1 = ScaleFromDistanceSum(n2, Reduce(_mm_load_ps(dist1)));
  set.scale2 = ScaleFromDistanceSum(n2, Reduce(_mm_load_ps(dist2)));

  // Scale the blocks and the tail.
  const __m128 s1 = _mm_set1_ps(set.scale1), s2 = _mm_set1_ps(set.scale2);
  for (u32 k = 0; k < blocks; ++k) {
    f32* b = p + k * 16;
    _mm_store_ps(b + 0, _mm_mul_ps(_mm_load_ps(b + 0), s1));
    _mm_store_ps(b + 4, _mm_mul_ps(_mm_load_ps(b + 4), s1));
    _mm_store_ps(b + 8, _mm_mul_ps(_mm_load_ps(b + 8), s2));
    _mm_store_ps(b + 12, _mm_mul_ps(_mm_load_ps(b + 12), s2));
  }
  for (u32 j = 0; j < set.tailCount; ++j) {
    set.tail1[j].x *= set.scale1;
    set.tail1[j].y *= set.scale1;
    set.tail2[j].x *= set.scale2;
    set.tail2[j].y *= set.scale2;
    // The last block must agree with the tail copy: sampling reads any match
    // from the packed storage.
    f32* b = p + blocks * 16 + j;
    b[0] = set.tail1[j].x;
    b[4] = set.tail1[j].y;
    b[8] = set.tail2[j].x;
    b[12] = set.tail2[j].y;
  }
}

namespace {

// Centres and scales n points (n = 4 or 8) given as two coordinate arrays;
// returns the scale, writes the means.
f32 NormalizePoints(f32* x, f32* y, u32 n, f32 numerator, f32 inverseCount, f32& meanX,
                    f32& meanY) {
  __m128 sx = _mm_setzero_ps(), sy = _mm_setzero_ps();
  for (u32 i = 0; i < n; i += 4) {
    sx = _mm_add_ps(sx, _mm_loadu_ps(x + i));
    sy = _mm_add_ps(sy, _mm_loadu_ps(y + i));
  }
  meanX = Reduce(sx) * inverseCount;
  meanY = Reduce(sy) * inverseCount;
  const __m128 mx = _mm_set1_ps(meanX), my = _mm_set1_ps(meanY);
  __m128 d = _mm_setzero_ps();
  for (u32 i = 0; i < n; i += 4) {
    const __m128 vx = _mm_sub_ps(_mm_loadu_ps(x + i), mx);
    const __m128 vy = _mm_sub_ps(_mm_loadu_ps(y + i), my);
    _mm_storeu_ps(x + i, vx);
    _mm_storeu_ps(y + i, vy);
    d = _mm_add_ps(d, _mm_sqrt_ps(_mm_add_ps(_mm_mul_ps(vx, vx), _mm_mul_ps(vy, vy))));
  }
  const f32 scale = ScaleFromDistanceSum(numerator, Reduce(d));
  const __m128 s = _mm_set1_ps(scale);
  for (u32 i = 0; i < n; i += 4) {
    _mm_storeu_ps(x + i, _mm_mul_ps(_mm_loadu_ps(x + i), s));
    _mm_storeu_ps(y + i, _mm_mul_ps(_mm_loadu_ps(y + i), s));
  }
  return scale;
}

}  // namespace

void FourMatches2D::Normalize(FourMatches2D& sample, LA::AlignedVector4f* scratch) {
  (void)scratch;
  sample.scale1 =
      NormalizePoints(sample.x1, sample.y1, 4, 5.656854f, 0.25f, sample.means[0], sample.means[1]);
  sample.scale2 =
      NormalizePoints(sample.x2, sample.y2, 4, 5.656854f, 0.25f, sample.means[2], sample.means[3]);
}

EightMatches2D& EightMatches2D::operator=(const EightMatches2D& other) {
  if (this != &other) {
    for (int i = 0; i < 8; ++i) {
      x2[i] = other.px2[i];
      y2[i] = other.py2[i];
      x1[i] = other.px1[i];
      y1[i] = other.py1[i];
    }
    for (int i = 0; i < 4; ++i) means[i] = other.means[i];
    scale1 = other.scale1;
    scale2 = other.scale2;
  }
  AimPointers();
  return *this;
}

void EightMatches2D::Normalize(EightMatches2D& sample, LA::AlignedVector4f* scratch) {
  (void)scratch;
  sample.scale1 = NormalizePoints(sample.px1, sample.py1, 8, 11.313708f, 0.125f, sample.means[0],
                                  sample.means[1]);
  sample.scale2 = NormalizePoints(sample.px2, sample.py2, 8, 11.313708f, 0.125f, sample.means[2],
                                  sample.means[3]);
}
