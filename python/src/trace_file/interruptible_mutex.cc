#include "trace_file/interruptible_mutex.h"

#include <mutex>
#include <unordered_set>

#include "trace_file/blocking_call.h"

namespace ossel::python {
namespace {

// Every live mutex, so a child made by fork() can free those its parent's
// other threads held. The child's handler runs while the child has one
// thread, so it races with nothing; a check before each lock instead would
// have to settle which of several threads of the child frees the mutex, and
// once only. The registry's own lock is held across fork(), so the child never
// inherits it taken, nor the set half changed.
std::mutex registry_lock;
std::unordered_set<InterruptibleMutex*>& registry() {
  static auto* live = new std::unordered_set<InterruptibleMutex*>;  // never destroyed: used at exit
  return *live;
}

void before_fork() { registry_lock.lock(); }
void after_fork_in_parent() { registry_lock.unlock(); }
void after_fork_in_child() {
  for (InterruptibleMutex* mutex : registry()) mutex->reset_after_fork();
  registry_lock.unlock();
}

}  // namespace

InterruptibleMutex::InterruptibleMutex() {
  static const bool handled_at_fork =
      pthread_atfork(&before_fork, &after_fork_in_parent, &after_fork_in_child) == 0;
  (void)handled_at_fork;
  sem_init(&free_, /*pshared=*/0, 1);
  const std::lock_guard<std::mutex> registering(registry_lock);
  registry().insert(this);
}

InterruptibleMutex::~InterruptibleMutex() {
  {
    const std::lock_guard<std::mutex> unregistering(registry_lock);
    registry().erase(this);
  }
  sem_destroy(&free_);
}

bool InterruptibleMutex::lock() {
  if (sem_trywait(&free_) != 0 && call_blocking([&]() noexcept { return sem_wait(&free_); }) != 0) {
    return false;
  }
  holder_.store(pthread_self(), std::memory_order_relaxed);
  return true;
}

void InterruptibleMutex::unlock() {
  holder_.store(pthread_t{}, std::memory_order_relaxed);
  sem_post(&free_);
}

void InterruptibleMutex::reset_after_fork() {
  // The forking thread may hold the mutex (a signal handler that forks while
  // its thread waits inside a locked step); it gives it back itself.
  const bool held_here = holder_.load(std::memory_order_relaxed) == pthread_self();
  if (!held_here) holder_.store(pthread_t{}, std::memory_order_relaxed);
  sem_destroy(&free_);
  sem_init(&free_, /*pshared=*/0, held_here ? 0 : 1);
}

}  // namespace ossel::python
