#include "ossel/policy.h"

#include <gtest/gtest.h>


#include "ossel/selector.h"

namespace ossel {
namespace {

TEST(SelectorTest, DisplayTextAndJsonForm) {
  EXPECT_EQ(display_text(CallSelector::Plain("read")), "read");
  EXPECT_EQ(display_text(CallSelector::Matching("read", {})), "read[]");
  EXPECT_EQ(to_json(selector_to_json(CallSelector::Plain("run"))), R"("run")");
  EXPECT_EQ(to_json(selector_to_json(CallSelector::Matching("run", {{"cmd", "rm.*"}, {"a", "x"}}))),
            R"({"tool":"run","args_match":{"a":"x","cmd":"rm.*"}})");
  EXPECT_EQ(selector_labels({CallSelector::Plain("a"), CallSelector::Matching("b", {{"k", ""}})}),
            (std::vector<std::string>{"a", "b[k]"}));
}

}  // namespace
}  // namespace ossel
