// The writer's locked step where Python code cannot reach it: a fault inside
// it poisons the writer, and a record nested inside it (which only a signal
// handler running during a wait could make) is refused for the same file.
#include "trace_file/trace_file_writer.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace ossel::python {

class TraceFileWriterTestPeer {
 public:
  static std::optional<Error> locked(TraceFileWriter& writer,
                                     const std::function<std::optional<Error>()>& body) {
    return writer.locked(body);
  }
};

namespace {

std::string temporary_file(const char* name) {
  return std::filesystem::temp_directory_path() / ("ossel-" + std::to_string(getpid()) + name);
}

std::unique_ptr<TraceFileWriter> open(const std::string& path) {
  auto opened = TraceFileWriter::open(path);
  EXPECT_TRUE(opened.ok()) << opened.message();
  return opened.ok() ? std::move(opened).value() : nullptr;
}

// The file's content, which is removed.
std::string take_contents(const std::string& path) {
  std::stringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  std::filesystem::remove(path);
  return text.str();
}

std::string message(const std::optional<Error>& error) { return error ? error->message : ""; }

TEST(TraceFileWriterTest, FaultWhileLockedPoisonsTheWriter) {
  const std::string file = temporary_file("-poisoned.jsonl");
  std::unique_ptr<TraceFileWriter> writer = open(file);
  ASSERT_TRUE(writer);
  EXPECT_EQ(message(writer->append(JsonValue(1))), "");
  EXPECT_THROW(TraceFileWriterTestPeer::locked(
                   *writer, []() -> std::optional<Error> { throw std::runtime_error("fault"); }),
               std::runtime_error);
  EXPECT_TRUE(writer->poisoned());
  for (int i = 0; i < 2; ++i) EXPECT_EQ(message(writer->append(JsonValue(2))), "Failed to lock trace file writer");
  writer.reset();
  EXPECT_EQ(take_contents(file), "1\n");
}

// A nested record to the file its own thread is writing, through any writer,
// must fail rather than wait for locks its thread holds; another file is no
// concern.
TEST(TraceFileWriterTest, ARecordNestedInTheLockedStepIsRefusedForTheSameFileOnly) {
  const std::string file = temporary_file("-nested.jsonl"), other = temporary_file("-other.jsonl");
  std::unique_ptr<TraceFileWriter> writer = open(file), same_file = open(file), other_file = open(other);
  ASSERT_TRUE(writer && same_file && other_file);
  TraceFileWriterTestPeer::locked(*writer, [&]() -> std::optional<Error> {
    EXPECT_EQ(message(writer->append(JsonValue(1))), TraceFileWriter::kNestedMessage);
    EXPECT_EQ(message(same_file->append(JsonValue(2))), TraceFileWriter::kNestedMessage);
    EXPECT_EQ(message(other_file->append(JsonValue(3))), "");
    return std::nullopt;
  });
  EXPECT_EQ(message(same_file->append(JsonValue(4))), "");
  EXPECT_EQ(take_contents(file), "4\n");
  EXPECT_EQ(take_contents(other), "3\n");
}

}  // namespace
}  // namespace ossel::python
