#include "ossel/text.h"

#include <gtest/gtest.h>

namespace ossel {
namespace {

TEST(UnicodeLowerTest, FullDefaultMapping) {
  struct Case {
    const char* in;
    const char* out;
  };
  const Case cases[] = {
      {"Read_File", "read_file"},
      {"EXEC", "exec"},
      {"\xc3\x89T\xc3\x89", "\xc3\xa9t\xc3\xa9"},                 // ÉTÉ -> été
      {"\xce\x9f\xce\x94\xce\x9f\xce\xa3", "\xce\xbf\xce\xb4\xce\xbf\xcf\x82"},  // ΟΔΟΣ -> οδος (final sigma)
      {"\xce\xa3\xce\x91", "\xcf\x83\xce\xb1"},                   // ΣΑ -> σα (not final)
      {"\xc4\xb0", "i\xcc\x87"},                                  // İ -> i + combining dot
      {"\xe2\x9c\x93-1", "\xe2\x9c\x93-1"},                        // no lower case: unchanged
  };
  for (const Case& c : cases) EXPECT_EQ(unicode_lower(c.in), c.out) << c.in;
}

}  // namespace
}  // namespace ossel
