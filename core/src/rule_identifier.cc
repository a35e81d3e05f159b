#include "rule_identifier.h"

#include <variant>

#include "ossel/text.h"
#include "overloaded.h"

namespace ossel {
namespace {

std::string lower_name(const CallSelector& selector) { return unicode_lower(selector.tool); }

}  // namespace

std::string rule_identifier(const SequenceRule& rule, SequenceWords sequence_words) {
  return std::visit(
      Overloaded{
          [](const SequenceRule::Require& r) { return "require_" + lower_name(r.tool); },
          [](const SequenceRule::Eventually& r) {
            return "eventually_" + lower_name(r.tool) + "_" + std::to_string(r.within);
          },
          [](const SequenceRule::MaxCalls& r) {
            return "max_calls_" + lower_name(r.tool) + "_" + std::to_string(r.max);
          },
          [](const SequenceRule::Before& r) {
            return "before_" + lower_name(r.first) + "_then_" + lower_name(r.then);
          },
          [](const SequenceRule::After& r) {
            return "after_" + lower_name(r.trigger) + "_then_" + lower_name(r.then);
          },
          [](const SequenceRule::NeverAfter& r) {
            return "never_after_" + lower_name(r.trigger) + "_forbidden_" +
                   lower_name(r.forbidden);
          },
          [&](const SequenceRule::Sequence& r) {
            std::string id(r.strict ? sequence_words.strict : sequence_words.loose);
            id.push_back('_');
            for (size_t i = 0; i < r.tools.size(); ++i) {
              if (i > 0) id.push_back('_');
              id.append(lower_name(r.tools[i]));
            }
            return id;
          },
          [](const SequenceRule::Blocklist& r) { return "blocklist_" + unicode_lower(r.pattern); },
      },
      rule.body);
}

}  // namespace ossel
