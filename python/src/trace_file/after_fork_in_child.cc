#include "trace_file/after_fork_in_child.h"

#include <pthread.h>

#include <atomic>
#include <utility>

namespace ossel::python {

// The registry's lock is held across fork(), taken before and given back in
// parent and child after, so the child never inherits it taken nor the list
// half changed. A POSIX mutex, whose lock and unlock cannot throw: it is
// taken inside blocking calls' system calls, which must not (ForksHeldOff).
struct AfterForkRegistry {
  static pthread_mutex_t lock;
  static AfterForkInChild* first;
  static std::atomic<unsigned> generation;

  static void before_fork() { pthread_mutex_lock(&lock); }
  static void after_fork_in_parent() { pthread_mutex_unlock(&lock); }
  static void after_fork_in_child() {
    generation.fetch_add(1, std::memory_order_relaxed);
    for (AfterForkInChild* entry = first; entry != nullptr; entry = entry->next_) entry->work_();
    pthread_mutex_unlock(&lock);
  }

  // Installs the handlers above for every later fork(), once per process.
  static void handle_forks() noexcept {
    static const bool handled_at_fork =
        pthread_atfork(&before_fork, &after_fork_in_parent, &after_fork_in_child) == 0;
    (void)handled_at_fork;
  }
};

pthread_mutex_t AfterForkRegistry::lock = PTHREAD_MUTEX_INITIALIZER;
AfterForkInChild* AfterForkRegistry::first = nullptr;
std::atomic<unsigned> AfterForkRegistry::generation{0};

AfterForkInChild::AfterForkInChild(std::function<void()> work) : work_(std::move(work)) {
  AfterForkRegistry::handle_forks();
  const ForksHeldOff registering;
  next_ = std::exchange(AfterForkRegistry::first, this);
  if (next_ != nullptr) next_->previous_ = this;
}

AfterForkInChild::~AfterForkInChild() {
  const ForksHeldOff unregistering;
  (previous_ != nullptr ? previous_->next_ : AfterForkRegistry::first) = next_;
  if (next_ != nullptr) next_->previous_ = previous_;
}

ForksHeldOff::ForksHeldOff() noexcept {
  // Before the first registration nothing takes the lock at fork: install
  // the handlers first, or forks would not wait.
  AfterForkRegistry::handle_forks();
  pthread_mutex_lock(&AfterForkRegistry::lock);
}

ForksHeldOff::~ForksHeldOff() { pthread_mutex_unlock(&AfterForkRegistry::lock); }

unsigned fork_generation() noexcept {
  return AfterForkRegistry::generation.load(std::memory_order_relaxed);
}

}  // namespace ossel::python
