// Reads one entry of the policy's `sequences` list into a SequenceRule.
//
// An entry is read in two phases. The first reads the whole entry from the
// document, types every plain scalar, and takes out the `type` key (resolved
// at once, so an unknown rule kind is reported before anything after it);
// everything else is buffered as the rule's body. The second builds the rule
// of that kind from the body. First-phase messages name the entry (or the
// node inside it) and its position; second-phase messages name the
// `sequences` list and where it starts, since the body no longer knows where
// in the document it came from.
#ifndef OSSEL_LOADER_RULE_ENTRY_READER_H_
#define OSSEL_LOADER_RULE_ENTRY_READER_H_

#include <cstddef>

#include "loader/buffered_value.h"
#include "ossel/policy.h"
#include "yaml/reader.h"

namespace ossel::loader {

struct RuleEntry {
  size_t type_index = 0;  // index into kRuleTypeWords
  BufferedValue body;     // kPairs (mapping form) or kList (list form)
};

// First phase: the entry at `node` (the reader's path is the entry's).
bool read_rule_entry(yaml::Reader& reader, size_t node, RuleEntry& entry);

// Both phases for the entry at `node` of the list that starts at `list_mark`.
bool read_sequence_rule(yaml::Reader& reader, size_t node, yaml::Mark list_mark,
                        SequenceRule& rule);

}  // namespace ossel::loader

#endif  // OSSEL_LOADER_RULE_ENTRY_READER_H_
