// The policy loader: the whole text of a policy file to a Policy, or the one
// message (with its path and position) that says what is wrong with it.
#ifndef OSSEL_LOAD_POLICY_H_
#define OSSEL_LOAD_POLICY_H_

#include <string_view>

#include "ossel/policy.h"
#include "ossel/progress.h"
#include "ossel/result.h"

namespace ossel {

// `keep_going` is asked every few thousand parse events and events read
// (alias replays included); when it says stop, the load ends with
// Error{kStoppedMessage}.
Result<Policy> load_policy(std::string_view yaml_text, KeepGoing keep_going = {});

}  // namespace ossel

#endif  // OSSEL_LOAD_POLICY_H_
