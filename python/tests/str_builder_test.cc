// What Python code cannot reach of StrBuilder: its failure (the module hands it
// only whole UTF-8 characters) and pieces whose characters narrow and widen in
// every order.
#include "str_builder.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "embedded_python.h"

namespace ossel::python {
namespace {

using testing::take_raised_exception;

TEST(StrBuilderTest, PiecesOfEveryWidthJoinIntoOneStr) {
  // ASCII, Latin-1, BMP and astral pieces; a single character is a str that
  // CPython shares, which the builder must not grow in place.
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"x"},
      {"", "abc", ""},
      {"a", "b", "c"},
      {"ascii ", "caf\xc3\xa9 ", "\xe2\x9c\x93 ", "\xf0\x9f\x9a\x80", " back to ascii"},
      {"\xf0\x9f\x9a\x80", "\xe2\x9c\x93", "\xc3\xa9", "z"},
      {std::string(300000, 'a'), "\xe2\x9c\x93", std::string(300000, 'b')},
  };
  for (const std::vector<std::string>& pieces : cases) {
    StrBuilder builder;
    std::string whole;
    for (const std::string& piece : pieces) {
      ASSERT_TRUE(builder.append(piece));
      whole += piece;
    }
    PyRef built = std::move(builder).finish();
    ASSERT_TRUE(built);
    PyRef expected = PyRef::steal(PyUnicode_FromStringAndSize(whole.data(), static_cast<Py_ssize_t>(whole.size())));
    EXPECT_EQ(PyUnicode_Compare(built.get(), expected.get()), 0) << whole.substr(0, 40);
    EXPECT_FALSE(PyErr_Occurred());
  }
}

TEST(StrBuilderTest, APieceThatIsNotUtf8FailsAndDropsTheText) {
  StrBuilder builder;
  ASSERT_TRUE(builder.append("before "));
  EXPECT_FALSE(builder.append("\xe2\x9c"));  // a character cut short
  auto raised = take_raised_exception();
  EXPECT_EQ(raised.type_name, "UnicodeDecodeError");
  PyRef rest = std::move(builder).finish();
  EXPECT_EQ(PyUnicode_GetLength(rest.get()), 0);
}

}  // namespace
}  // namespace ossel::python
