#include "trace_file/fork_generation.h"

#include <pthread.h>

#include <atomic>

namespace ossel::python {
namespace {

std::atomic<unsigned> generation{0};

void count_fork_in_child() { generation.fetch_add(1, std::memory_order_relaxed); }

}  // namespace

unsigned fork_generation() {
  // Registered on the first call: only forks after it need counting.
  static const bool counting = pthread_atfork(nullptr, nullptr, &count_fork_in_child) == 0;
  (void)counting;
  return generation.load(std::memory_order_relaxed);
}

}  // namespace ossel::python
