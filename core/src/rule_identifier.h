// The lower-cased identifier of a sequence rule, shared by the explainer
// (rule_id of its checks) and the coverage analyzer (coverage ids).
#ifndef OSSEL_SRC_RULE_IDENTIFIER_H_
#define OSSEL_SRC_RULE_IDENTIFIER_H_

#include <string>
#include <string_view>

#include "ossel/policy.h"

namespace ossel {

// The words a sequence rule's identifier begins with, by strictness: the two
// engines name sequence rules differently, and every other kind alike.
struct SequenceWords {
  std::string_view strict;
  std::string_view loose;
};

// The rule's kind, its selectors' tool names lower-cased (never the args_match
// keys) and its numbers, joined by "_": "require_read_file",
// "eventually_search_3", "before_a_then_b", "never_after_a_forbidden_b",
// "blocklist_rm", and for a sequence rule the word for its strictness followed
// by its steps ("seq_login_fetch").
std::string rule_identifier(const SequenceRule& rule, SequenceWords sequence_words);

}  // namespace ossel

#endif  // OSSEL_SRC_RULE_IDENTIFIER_H_
