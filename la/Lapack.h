#pragma once
// The single-precision LAPACK routines the minimal solvers call. LAPACK is
// column-major: a row-major matrix handed over unchanged is its transpose.
// Every call goes through these wrappers, which keep OpenBLAS on one thread
// (the engine runs its own threads and the matrices are tiny) and refuse a
// matrix holding NaN or infinity: the SVD's QR iteration never converges on
// a NaN threshold and would hang the caller.
#include <cmath>
#include <cstddef>

extern "C" {
void ssyev_(const char* jobz, const char* uplo, const int* n, float* a, const int* lda, float* w,
            float* work, const int* lwork, int* info, std::size_t jobzLen, std::size_t uploLen);
void sgesvd_(const char* jobu, const char* jobvt, const int* m, const int* n, float* a,
             const int* lda, float* s, float* u, const int* ldu, float* vt, const int* ldvt,
             float* work, const int* lwork, int* info, std::size_t jobuLen, std::size_t jobvtLen);
void sgeev_(const char* jobvl, const char* jobvr, const int* n, float* a, const int* lda, float* wr,
            float* wi, float* vl, const int* ldvl, float* vr, const int* ldvr, float* work,
            const int* lwork, int* info, std::size_t jobvlLen, std::size_t jobvrLen);
void sgesv_(const int* n, const int* nrhs, float* a, const int* lda, int* ipiv, float* b,
            const int* ldb, int* info);
void sgels_(const char* trans, const int* m, const int* n, const int* nrhs, float* a,
            const int* lda, float* b, const int* ldb, float* work, const int* lwork, int* info,
            std::size_t transLen);
}

namespace Lapack {

// What a wrapper returns, without calling LAPACK, when an input is not finite.
constexpr int kNonFiniteInput = -1000;

// Sets OpenBLAS to one thread, once per process; every wrapper calls it.
void UseOneThread();

// True when every entry of the rows x cols column-major matrix is finite.
inline bool AllFinite(const float* a, int rows, int cols, int ld) {
  for (int c = 0; c < cols; ++c) {
    for (int r = 0; r < rows; ++r) {
      if (!std::isfinite(a[static_cast<std::size_t>(c) * ld + r])) return false;
    }
  }
  return true;
}

inline int Syev(char jobz, char uplo, int n, float* a, int lda, float* w, float* work, int lwork) {
  if (lwork != -1 && !AllFinite(a, n, n, lda)) return kNonFiniteInput;
  UseOneThread();
  int info = 0;
  ssyev_(&jobz, &uplo, &n, a, &lda, w, work, &lwork, &info, 1, 1);
  return info;
}

inline int Gesvd(char jobu, char jobvt, int m, int n, float* a, int lda, float* s, float* u,
                 int ldu, float* vt, int ldvt, float* work, int lwork) {
  if (lwork != -1 && !AllFinite(a, m, n, lda)) return kNonFiniteInput;
  UseOneThread();
  int info = 0;
  sgesvd_(&jobu, &jobvt, &m, &n, a, &lda, s, u, &ldu, vt, &ldvt, work, &lwork, &info, 1, 1);
  return info;
}

inline int Geev(char jobvl, char jobvr, int n, float* a, int lda, float* wr, float* wi, float* vl,
                int ldvl, float* vr, int ldvr, float* work, int lwork) {
  if (lwork != -1 && !AllFinite(a, n, n, lda)) return kNonFiniteInput;
  UseOneThread();
  int info = 0;
  sgeev_(&jobvl, &jobvr, &n, a, &lda, wr, wi, vl, &ldvl, vr, &ldvr, work, &lwork, &info, 1, 1);
  return info;
}

inline int Gesv(int n, int nrhs, float* a, int lda, int* ipiv, float* b, int ldb) {
  if (!AllFinite(a, n, n, lda) || !AllFinite(b, n, nrhs, ldb)) return kNonFiniteInput;
  UseOneThread();
  int info = 0;
  sgesv_(&n, &nrhs, a, &lda, ipiv, b, &ldb, &info);
  return info;
}

inline int Gels(char trans, int m, int n, int nrhs, float* a, int lda, float* b, int ldb,
                float* work, int lwork) {
  const int rhsRows = trans == 'N' ? m : n;
  if (lwork != -1 && (!AllFinite(a, m, n, lda) || !AllFinite(b, rhsRows, nrhs, ldb))) {
    return kNonFiniteInput;
  }
  UseOneThread();
  int info = 0;
  sgels_(&trans, &m, &n, &nrhs, a, &lda, b, &ldb, work, &lwork, &info, 1);
  return info;
}

}  // namespace Lapack
