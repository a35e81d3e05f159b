#include "trace_file/after_fork_in_child.h"

#include <pthread.h>

#include <mutex>
#include <utility>

namespace ossel::python {

// The registry's lock is held across fork(), taken before and given back in
// parent and child after, so the child never inherits it taken nor the list
// half changed.
struct AfterForkRegistry {
  static std::mutex lock;
  static AfterForkInChild* first;

  static void before_fork() { lock.lock(); }
  static void after_fork_in_parent() { lock.unlock(); }
  static void after_fork_in_child() {
    for (AfterForkInChild* entry = first; entry != nullptr; entry = entry->next_) entry->work_();
    lock.unlock();
  }
};

std::mutex AfterForkRegistry::lock;
AfterForkInChild* AfterForkRegistry::first = nullptr;

AfterForkInChild::AfterForkInChild(std::function<void()> work) : work_(std::move(work)) {
  static const bool handled_at_fork =
      pthread_atfork(&AfterForkRegistry::before_fork, &AfterForkRegistry::after_fork_in_parent,
                     &AfterForkRegistry::after_fork_in_child) == 0;
  (void)handled_at_fork;
  const std::lock_guard<std::mutex> registering(AfterForkRegistry::lock);
  next_ = std::exchange(AfterForkRegistry::first, this);
  if (next_ != nullptr) next_->previous_ = this;
}

AfterForkInChild::~AfterForkInChild() {
  const std::lock_guard<std::mutex> unregistering(AfterForkRegistry::lock);
  (previous_ != nullptr ? previous_->next_ : AfterForkRegistry::first) = next_;
  if (next_ != nullptr) next_->previous_ = previous_;
}

}  // namespace ossel::python
