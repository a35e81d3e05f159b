// The policy loader: the whole text of a policy file to a Policy, or the one
// message (with its path and position) that says what is wrong with it.
#ifndef OSSEL_LOAD_POLICY_H_
#define OSSEL_LOAD_POLICY_H_

#include <string_view>

#include "ossel/policy.h"
#include "ossel/result.h"

namespace ossel {

Result<Policy> load_policy(std::string_view yaml_text);

}  // namespace ossel

#endif  // OSSEL_LOAD_POLICY_H_
