// A mutex whose waiters answer Ctrl-C, as Python's own locks do: a thread
// that has to wait for it waits with the interpreter lock released, and a
// signal that interrupts the wait runs Python's handlers, whose exception
// ends the wait (blocking_call.h). It is built on a POSIX semaphore because a
// semaphore's wait, unlike a mutex's, returns when a signal interrupts it.
//
// In a child made by fork() every mutex is free again, unless the thread that
// called fork() held it: any other holder is a thread the child does not
// have, and would never give it back.
#ifndef OSSEL_PYTHON_TRACE_FILE_INTERRUPTIBLE_MUTEX_H_
#define OSSEL_PYTHON_TRACE_FILE_INTERRUPTIBLE_MUTEX_H_

#include <pthread.h>
#include <semaphore.h>

#include <atomic>

#include "trace_file/after_fork_in_child.h"

namespace ossel::python {

class InterruptibleMutex {
 public:
  InterruptibleMutex() = default;
  InterruptibleMutex(const InterruptibleMutex&) = delete;
  InterruptibleMutex& operator=(const InterruptibleMutex&) = delete;

  // Takes the mutex, at once when it is free. Called with the interpreter
  // lock held. False when a signal handler raised during the wait: the mutex
  // is not taken and the handler's exception is set.
  bool lock();
  // Gives the mutex back; only its taker may.
  void unlock();

  // Whether the calling thread holds the mutex. In a child made by fork() it
  // reads the same before and after the mutex frees itself there, so that
  // other work after fork may ask it whichever runs first.
  bool held_by_this_thread() const;

 private:
  void reset_after_fork();

  // An unnamed semaphore for the life of the object.
  struct Semaphore {
    explicit Semaphore(unsigned value) { sem_init(&sem, /*pshared=*/0, value); }
    ~Semaphore() { sem_destroy(&sem); }
    sem_t sem;
  };

  Semaphore free_{1};  // 1 while nobody holds the mutex
  std::atomic<pthread_t> holder_{};  // the thread that holds the mutex, else 0
  AfterForkInChild free_in_child_{[this] { reset_after_fork(); }};
};

}  // namespace ossel::python

#endif  // OSSEL_PYTHON_TRACE_FILE_INTERRUPTIBLE_MUTEX_H_
