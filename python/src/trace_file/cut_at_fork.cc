#include "trace_file/cut_at_fork.h"

#include <algorithm>
#include <atomic>
#include <cstddef>

#include "trace_file/after_fork_in_child.h"

namespace ossel::python {
namespace {

// The table, guarded by the lock that fork() takes (ForksHeldOff); in work
// run after fork that lock is held already.
constexpr size_t kMostFiles = 64;
FileIdentity files[kMostFiles];
size_t listed = 0;
bool every_file = false;
// Whether the table says anything at all: read without the lock, written
// with it. Only a child's work after fork adds to the table, before the
// child has any other thread; so a thread that reads false can trust it.
std::atomic<bool> any{false};

FileIdentity* find(const FileIdentity& file) {
  return std::find(files, files + listed, file);
}

}  // namespace

void CutAtFork::note_in_child(const FileIdentity& file) noexcept {
  if (find(file) != files + listed) return;
  if (listed < kMostFiles) {
    files[listed++] = file;
  } else {
    every_file = true;
  }
  any.store(true, std::memory_order_relaxed);
}

bool CutAtFork::may_be_cut(const FileIdentity& file) noexcept {
  if (!any.load(std::memory_order_relaxed)) return false;
  const ForksHeldOff table_held;
  return every_file || find(file) != files + listed;
}

void CutAtFork::record_written(const FileIdentity& file) noexcept {
  if (!any.load(std::memory_order_relaxed)) return;
  const ForksHeldOff table_held;
  FileIdentity* const found = find(file);
  if (found == files + listed) return;
  *found = files[--listed];
  any.store(listed > 0 || every_file, std::memory_order_relaxed);
}

}  // namespace ossel::python
