// Work that a child made by fork() does on the objects it inherited, before
// fork() returns in the child. It runs while the child has one thread, the
// one that called fork(), so it races with nothing; and since the parent's
// other threads may have held any lock or been inside any allocation when
// the process was copied, it may do only what a signal handler may: system
// calls such as open, fcntl, dup3 and close, no allocation, no Python.
//
// The registry of that work has one lock, which every fork() takes before it
// copies the process. Holding it (ForksHeldOff) holds off fork() in every
// thread, so that a step such as opening a file and handing the descriptor to
// its owner is whole or not begun in any child.
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

// Holds the registry's lock for as long as it lives: a thread that calls
// fork() meanwhile waits until it goes, and no child is made in between. It
// neither allocates nor throws, so it may be used inside a blocking call's
// system call (blocking_call.h). Whoever holds it must not wait for the
// interpreter lock: a thread that forks holds that lock while it waits for
// this one. Not to be used in work run after fork (the lock is held there).
class ForksHeldOff {
 public:
  ForksHeldOff() noexcept;
  ~ForksHeldOff();
  ForksHeldOff(const ForksHeldOff&) = delete;
  ForksHeldOff& operator=(const ForksHeldOff&) = delete;
};

// A count that every fork() raises by one in the child, as fork() returns
// there (from the first registration or ForksHeldOff on, which installs the
// handlers). Nothing else changes it, so a thread that finds it changed
// between two of its own steps knows that it called fork() in between (Python
// code that it ran did, such as a signal handler) and goes on in the child.
unsigned fork_generation() noexcept;

}  // namespace ossel::python

#endif  // OSSEL_PYTHON_TRACE_FILE_AFTER_FORK_IN_CHILD_H_
