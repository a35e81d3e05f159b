#include "loader/buffered_value.h"

#include "yaml/scalar.h"

namespace ossel::loader {

std::string describe(const BufferedValue& value) {
  using Kind = BufferedValue::Kind;
  yaml::TypedScalar scalar;
  switch (value.kind) {
    case Kind::kList:
      return "sequence";
    case Kind::kPairs:
      return "map";
    case Kind::kUnit:
      return "unit value";
    case Kind::kBool:
      scalar.kind = yaml::TypedScalar::Kind::kBool;
      scalar.boolean = value.boolean;
      break;
    case Kind::kUnsigned:
      scalar.kind = yaml::TypedScalar::Kind::kUnsigned;
      scalar.unsigned_value = value.unsigned_value;
      break;
    case Kind::kSigned:
      scalar.kind = yaml::TypedScalar::Kind::kSigned;
      scalar.signed_value = value.signed_value;
      break;
    case Kind::kFloat:
      scalar.kind = yaml::TypedScalar::Kind::kFloat;
      scalar.float_value = value.float_value;
      break;
    case Kind::kText:
      scalar.kind = yaml::TypedScalar::Kind::kString;
      scalar.text = value.text;
      break;
  }
  return yaml::describe(scalar);
}

}  // namespace ossel::loader
