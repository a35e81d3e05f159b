// The files on which a record may have been cut short when this process was
// made by fork(): another thread of the parent was inside the write of a
// record there, which may have put part of it in the file, and which the
// child will never finish (the writing thread is not in the child). The
// child's next record on such a file must start on a fresh line. A writer
// that can read the file's last byte back sees that there; the others (on a
// FIFO, a device, a file without read permission) ask here, through the
// clients the child inherited and through those it makes itself.
//
// A table of fixed size, filled as fork() returns in the child (no
// allocation there), and emptied file by file as whole records follow. At a
// fork inside more records on distinct files than the table holds, which
// takes that many threads writing at once, every file counts as possibly cut
// from then on in that child: a record there may start with an empty line.
#ifndef OSSEL_PYTHON_TRACE_FILE_CUT_AT_FORK_H_
#define OSSEL_PYTHON_TRACE_FILE_CUT_AT_FORK_H_

#include "trace_file/os_file.h"

namespace ossel::python {

class CutAtFork {
 public:
  // Notes `file`. Only in work run after fork (after_fork_in_child.h).
  static void note_in_child(const FileIdentity& file) noexcept;
  // Whether a record on `file` may have been cut short at fork, with no whole
  // record written there since by this process. One load when no fork cut
  // anything, the common case.
  static bool may_be_cut(const FileIdentity& file) noexcept;
  // A whole record was written to `file`: its last line is whole again.
  static void record_written(const FileIdentity& file) noexcept;
};

}  // namespace ossel::python

#endif  // OSSEL_PYTHON_TRACE_FILE_CUT_AT_FORK_H_
