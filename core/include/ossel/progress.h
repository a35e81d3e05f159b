// Asking a long operation to stop part-way. An operation that takes a
// ProgressCheck counts its units of work on it (parse events, calls converted,
// calls a rule looks at) and, every so many units, asks the caller's
// KeepGoing whether to go on. Once the answer is no, the operation ends with
// Error{kStoppedMessage} and hands back nothing it built. What the answer
// rests on (a pending signal, a deadline) is the caller's business.
#ifndef OSSEL_PROGRESS_H_
#define OSSEL_PROGRESS_H_

#include <cstddef>
#include <functional>
#include <utility>

namespace ossel {

// Returns false to stop the operation that calls it.
using KeepGoing = std::function<bool()>;

// The message of the Error an operation ends with when asked to stop.
inline constexpr const char* kStoppedMessage = "stopped before the end";

class ProgressCheck {
 public:
  // Never stops.
  ProgressCheck() = default;
  // Asks `keep_going` after every `interval` units counted (an empty
  // function is never asked).
  ProgressCheck(KeepGoing keep_going, size_t interval)
      : keep_going_(std::move(keep_going)), interval_(interval), left_(interval) {}

  // Counts `units` of work done; false once the operation is to stop (and
  // from then on). Cheap enough to call per unit: the question is asked only
  // when an interval's worth has been counted.
  bool advance(size_t units = 1) {
    if (units < left_) {
      left_ -= units;
      return !stopped_;
    }
    left_ = interval_;
    if (!stopped_ && keep_going_) stopped_ = !keep_going_();
    return !stopped_;
  }

  bool stopped() const { return stopped_; }

 private:
  KeepGoing keep_going_;
  size_t interval_ = static_cast<size_t>(-1);
  size_t left_ = static_cast<size_t>(-1);
  bool stopped_ = false;
};

}  // namespace ossel

#endif  // OSSEL_PROGRESS_H_
