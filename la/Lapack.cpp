#include "la/Lapack.h"

#include <mutex>

extern "C" void openblas_set_num_threads(int);

namespace Lapack {

void UseOneThread() {
  static std::once_flag once;
  std::call_once(once, [] { openblas_set_num_threads(1); });
}

}  // namespace Lapack
