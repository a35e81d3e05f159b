// A mutex whose waiters answer Ctrl-C, as Python's own locks do: a thread
// that has to wait for it waits with the interpreter lock released, and a
// signal that interrupts the wait runs Python's handlers, whose exception
// ends the wait (blocking_call.h). It is built on a POSIX semaphore because a
// semaphore's wait, unlike a mutex's, returns when a signal interrupts it.
#ifndef OSSEL_PYTHON_TRACE_FILE_INTERRUPTIBLE_MUTEX_H_
#define OSSEL_PYTHON_TRACE_FILE_INTERRUPTIBLE_MUTEX_H_

#include <semaphore.h>

namespace ossel::python {

class InterruptibleMutex {
 public:
  InterruptibleMutex();
  ~InterruptibleMutex();
  InterruptibleMutex(const InterruptibleMutex&) = delete;
  InterruptibleMutex& operator=(const InterruptibleMutex&) = delete;

  // Takes the mutex, at once when it is free. Called with the interpreter
  // lock held. False when a signal handler raised during the wait: the mutex
  // is not taken and the handler's exception is set.
  bool lock();
  // Gives the mutex back; only its taker may.
  void unlock();

 private:
  sem_t free_;  // 1 while nobody holds the mutex
};

}  // namespace ossel::python

#endif  // OSSEL_PYTHON_TRACE_FILE_INTERRUPTIBLE_MUTEX_H_
