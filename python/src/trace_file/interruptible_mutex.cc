#include "trace_file/interruptible_mutex.h"

#include "trace_file/blocking_call.h"

namespace ossel::python {

InterruptibleMutex::InterruptibleMutex() { sem_init(&free_, /*pshared=*/0, 1); }
InterruptibleMutex::~InterruptibleMutex() { sem_destroy(&free_); }

bool InterruptibleMutex::lock() {
  if (sem_trywait(&free_) == 0) return true;
  return call_blocking([&] { return sem_wait(&free_); }) == 0;
}

void InterruptibleMutex::unlock() { sem_post(&free_); }

}  // namespace ossel::python
