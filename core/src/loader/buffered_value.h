// BufferedValue: one node of a sequence rule as it was read from the policy
// document, before the rule's kind says what its fields are. Plain scalars
// are already typed (a bare 5 is an integer, never text), so a rule reads the
// same whichever order its keys come in.
#ifndef OSSEL_LOADER_BUFFERED_VALUE_H_
#define OSSEL_LOADER_BUFFERED_VALUE_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ossel::loader {

struct BufferedValue {
  enum class Kind { kBool, kUnsigned, kSigned, kFloat, kText, kUnit, kList, kPairs };

  Kind kind = Kind::kUnit;
  bool boolean = false;
  uint64_t unsigned_value = 0;
  int64_t signed_value = 0;  // from a negative form; "-0" gives 0
  double float_value = 0;
  std::string text;
  // kList: the items. kPairs: keys and values alternating, in document order;
  // a repeated key gives a further pair.
  std::vector<BufferedValue> items;

  size_t pair_count() const { return items.size() / 2; }
  const BufferedValue& key(size_t pair) const { return items[2 * pair]; }
  const BufferedValue& value(size_t pair) const { return items[2 * pair + 1]; }
};

// What a message says was found: "boolean `true`", "integer `5`", "floating
// point `1.5`", "string \"a\"", "unit value", "sequence" or "map".
std::string describe(const BufferedValue& value);

}  // namespace ossel::loader

#endif  // OSSEL_LOADER_BUFFERED_VALUE_H_
