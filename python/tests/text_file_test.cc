// The policy reader's own UTF-8 check and a read larger than one buffer; the
// read failures are checked through Policy.from_file.
#include "text_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

namespace ossel::python {
namespace {

TEST(TextFileTest, Utf8CheckAcceptsWellFormedTextOnly) {
  const std::pair<std::string, bool> cases[] = {
      {"plain ascii\n", true},
      {"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80", true},   // é € U+1F600
      {"\xef\xbf\xbf\xf4\x8f\xbf\xbf", true},           // U+FFFF, U+10FFFF
      {std::string("a\0b", 3), true},                     // NUL is a character like any other
      {"\x80", false},                                    // lone continuation byte
      {"\xe2\x82", false},                                // truncated
      {"\xc0\xaf", false},                                // overlong '/'
      {"\xe0\x80\xaf", false},                            // overlong three-byte form
      {"\xf0\x80\x80\xaf", false},                        // overlong four-byte form
      {"\xed\xa0\x80", false},                            // surrogate U+D800
      {"\xf4\x90\x80\x80", false},                        // above U+10FFFF
      {"\xc3\x28", false},                                // bad continuation
  };
  for (const auto& [bytes, valid] : cases) EXPECT_EQ(is_valid_utf8(bytes), valid) << bytes.size();
}

TEST(TextFileTest, ReadsAWholeLargeFile) {
  const std::string path = "/tmp/ossel_text_file_" + std::to_string(getpid()) + ".yaml";
  const std::string text = "name: caf\xc3\xa9\n" + std::string(200000, 'x');
  std::ofstream(path) << text;
  Result<std::string> read = read_text_file(path);
  std::remove(path.c_str());
  ASSERT_TRUE(read.ok()) << read.message();
  EXPECT_EQ(read.value(), text);
}

}  // namespace
}  // namespace ossel::python
