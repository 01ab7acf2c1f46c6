#include "core/heap.h"

#include <malloc.h>
#include <unistd.h>

namespace tovaly {

void UseOneHeapArenaPerCore() {
  const long cores = sysconf(_SC_NPROCESSORS_ONLN);
  mallopt(M_ARENA_MAX, cores > 1 ? static_cast<int>(cores) : 1);
}

void ReturnFreeHeap() { malloc_trim(0); }

}  // namespace tovaly
