// Work that a child made by fork() does on the objects it inherited, before
// fork() returns in the child. It runs while the child has one thread, the
// one that called fork(), so it races with nothing; and since the parent's
// other threads may have held any lock or been inside any allocation when
// the process was copied, it may do only what a signal handler may: system
// calls such as open, fcntl, dup3 and close, no allocation, no Python.
#ifndef OSSEL_PYTHON_TRACE_FILE_AFTER_FORK_IN_CHILD_H_
#define OSSEL_PYTHON_TRACE_FILE_AFTER_FORK_IN_CHILD_H_

#include <functional>

namespace ossel::python {

// Runs `work` in every child made by fork() while the object lives. Made the
// last member of the object that the work is for, it is registered once the
// object is whole and unregistered before any other member goes.
class AfterForkInChild {
 public:
  explicit AfterForkInChild(std::function<void()> work);
  ~AfterForkInChild();
  AfterForkInChild(const AfterForkInChild&) = delete;
  AfterForkInChild& operator=(const AfterForkInChild&) = delete;

 private:
  friend struct AfterForkRegistry;
  const std::function<void()> work_;
  // Every live registration, in a list threaded through them, so that adding
  // one needs no allocation while the registry's lock is held.
  AfterForkInChild* previous_ = nullptr;
  AfterForkInChild* next_ = nullptr;
};

}  // namespace ossel::python

#endif  // OSSEL_PYTHON_TRACE_FILE_AFTER_FORK_IN_CHILD_H_
