#include "trace_file/interruptible_mutex.h"

#include "trace_file/blocking_call.h"

namespace ossel::python {

bool InterruptibleMutex::lock() {
  if (sem_trywait(&free_.sem) != 0 &&
      call_blocking([&]() noexcept { return sem_wait(&free_.sem); }) != 0) {
    return false;
  }
  holder_.store(pthread_self(), std::memory_order_relaxed);
  return true;
}

void InterruptibleMutex::unlock() {
  holder_.store(pthread_t{}, std::memory_order_relaxed);
  sem_post(&free_.sem);
}

bool InterruptibleMutex::held_by_this_thread() const {
  return holder_.load(std::memory_order_relaxed) == pthread_self();
}

void InterruptibleMutex::reset_after_fork() {
  // The forking thread may hold the mutex (a signal handler that forks while
  // its thread waits inside a locked step); it gives it back itself.
  const bool held_here = held_by_this_thread();
  if (!held_here) holder_.store(pthread_t{}, std::memory_order_relaxed);
  sem_destroy(&free_.sem);
  sem_init(&free_.sem, /*pshared=*/0, held_here ? 0 : 1);
}

}  // namespace ossel::python
