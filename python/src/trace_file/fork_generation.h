// Telling that this process was made by fork() since some earlier moment.
// A child made by fork() shares its parent's open files, and so the locks
// taken on them (flock locks belong to the open file): whoever keeps an open
// file for its own use must open the file anew in the child.
#ifndef OSSEL_PYTHON_TRACE_FILE_FORK_GENERATION_H_
#define OSSEL_PYTHON_TRACE_FILE_FORK_GENERATION_H_

namespace ossel::python {

// How many fork() calls lie between the process that first called this
// function and this process: 0 in that process, one more in each child.
// Two different values mean a fork happened in between.
unsigned fork_generation();

}  // namespace ossel::python

#endif  // OSSEL_PYTHON_TRACE_FILE_FORK_GENERATION_H_
