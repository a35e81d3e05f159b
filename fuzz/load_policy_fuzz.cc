// Fuzz target for the policy loader: any bytes either load into a policy or
// give one message, the same way every time, and never crash, hang or grow
// memory without bound.
//
// libFuzzer build: see fuzz/CMakeLists.txt. The unit tests also replay the
// seed corpus with fixed mutations through check_load_policy, so the
// checks below run in every ordinary build.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "ossel/load_policy.h"

namespace ossel::fuzz {

namespace {

// A position is never shown for the very start of the text. (Only the end
// of a message is checked: a quoted key may hold any text.)
bool ends_at_text_start(std::string_view message) {
  constexpr std::string_view kStart = " at line 1 column 1";
  return message.size() >= kStart.size() && message.substr(message.size() - kStart.size()) == kStart;
}

}  // namespace

// The broken promise, or "" when loading `text` kept them all.
std::string check_load_policy(std::string_view text) {
  Result<Policy> first = load_policy(text);
  Result<Policy> second = load_policy(text);
  if (first.ok() != second.ok()) return "a second load gave a different outcome";
  if (first.ok()) {
    if (!(first.value() == second.value())) return "a second load gave a different policy";
    if (!(first->clone() == first.value())) return "a copy differs from its policy";
    return "";
  }
  std::string_view message = first.message();
  if (message != second.message()) return "a second load gave a different message";
  if (message.empty()) return "empty message";
  if (ends_at_text_start(message)) return "message names line 1 column 1";
  // The reader only runs out of events at a syntax error it then reports.
  if (message == "EOF while parsing a value") return "reader ran past the events";
  return "";
}

}  // namespace ossel::fuzz

#ifndef OSSEL_FUZZ_REPLAY
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  if (!ossel::fuzz::check_load_policy(text).empty()) std::abort();
  return 0;
}
#endif
