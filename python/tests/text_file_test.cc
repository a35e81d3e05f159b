#include "os_file.h"
#include "text_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <string>

namespace ossel::python {
namespace {

TEST(Utf8Test, AcceptsWellFormedAndRefusesEverythingElse) {
  struct Case {
    std::string bytes;
    bool valid;
  };
  const Case cases[] = {
      {"", true},
      {"plain ascii\n", true},
      {"\xc3\xa9", true},                  // é
      {"\xe2\x82\xac", true},              // €
      {"\xf0\x9f\x98\x80", true},          // U+1F600
      {"\xef\xbf\xbf", true},              // U+FFFF
      {"\xf4\x8f\xbf\xbf", true},          // U+10FFFF, the last code point
      {std::string("a\0b", 3), true},      // NUL is a character like any other
      {"\xff", false},
      {"\x80", false},                     // lone continuation byte
      {"\xc3", false},                     // truncated two-byte form
      {"\xe2\x82", false},                 // truncated three-byte form
      {"\xc0\xaf", false},                 // overlong '/'
      {"\xc1\xbf", false},                 // overlong
      {"\xe0\x80\xaf", false},             // overlong three-byte form
      {"\xf0\x80\x80\xaf", false},         // overlong four-byte form
      {"\xed\xa0\x80", false},             // surrogate U+D800
      {"\xed\xbf\xbf", false},             // surrogate U+DFFF
      {"\xf4\x90\x80\x80", false},         // above U+10FFFF
      {"\xf5\x80\x80\x80", false},
      {"\xc3\x28", false},                 // bad continuation
      {"\xe2\x28\xa1", false},
      {"\xf0\x9f\x98", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(is_valid_utf8(c.bytes), c.valid) << "bytes of length " << c.bytes.size();
  }
}

TEST(TextFileTest, ReadsWholeFilesAndReportsEachFailure) {
  char dir_template[] = "/tmp/ossel_text_file_XXXXXX";
  ASSERT_NE(mkdtemp(dir_template), nullptr);
  const std::string dir = dir_template;
  const std::string good = dir + "/policy.yaml";
  const std::string bad = dir + "/latin1.yaml";
  std::string large(200000, 'x');
  std::ofstream(good) << "version: \"1\"\nname: caf\xc3\xa9\n" << large;
  std::ofstream(bad) << "name: caf\xe9\n";

  Result<std::string> text = read_text_file(good);
  ASSERT_TRUE(text.ok()) << text.message();
  EXPECT_EQ(text.value(), "version: \"1\"\nname: caf\xc3\xa9\n" + large);

  struct Case {
    std::string path;
    std::string message;
  };
  const Case failures[] = {
      {dir + "/missing.yaml", "No such file or directory (os error 2)"},
      {dir, "Is a directory (os error 21)"},
      {good + "/below_a_file", "Not a directory (os error 20)"},
      {bad, "stream did not contain valid UTF-8"},
      {std::string("policy\0.yaml", 12), "file name contained an unexpected NUL byte"},
  };
  for (const Case& c : failures) {
    Result<std::string> result = read_text_file(c.path);
    ASSERT_FALSE(result.ok()) << c.path;
    EXPECT_EQ(result.message(), c.message);
  }
  EXPECT_EQ(os_error_text(EACCES), "Permission denied (os error 13)");

  std::remove(good.c_str());
  std::remove(bad.c_str());
  rmdir(dir.c_str());
}

}  // namespace
}  // namespace ossel::python
