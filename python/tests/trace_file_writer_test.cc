// The writer's parts that Python code cannot reach: a record torn by a failed
// write, a lock poisoned by an internal fault, a record nested inside the
// locked step, and waiting for the lock.
#include "trace_file/trace_file_writer.h"

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "py_ref.h"

namespace ossel::python {

class TraceFileWriterTestPeer {
 public:
  static std::optional<Error> locked(TraceFileWriter& writer,
                                     const std::function<std::optional<Error>()>& body) {
    return writer.locked(body);
  }
};

namespace {

class TraceFileWriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    writer_ = open(file_);
    ASSERT_TRUE(writer_);
  }
  void TearDown() override {
    std::filesystem::remove(file_);
    std::filesystem::remove(other_file_);
  }

  static std::unique_ptr<TraceFileWriter> open(const std::string& path) {
    auto opened = TraceFileWriter::open(path);
    EXPECT_TRUE(opened.ok()) << opened.message();
    return opened.ok() ? std::move(opened).value() : nullptr;
  }

  std::string contents(const std::string& path) const {
    std::stringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
  }
  std::string contents() const { return contents(file_); }

  const std::string file_ = std::filesystem::temp_directory_path() /
                            ("ossel-writer-" + std::to_string(getpid()) + ".jsonl");
  const std::string other_file_ = file_ + ".other";
  std::unique_ptr<TraceFileWriter> writer_;
};

// Caps the size of files this process may write (0: no cap), so that writes
// past the cap are cut short (then fail with EFBIG) instead of raising SIGXFSZ.
class FileSizeCap {
 public:
  FileSizeCap() : previous_handler_(signal(SIGXFSZ, SIG_IGN)) { getrlimit(RLIMIT_FSIZE, &original_); }
  ~FileSizeCap() {
    set(0);
    signal(SIGXFSZ, previous_handler_);
  }
  void set(rlim_t bytes) {
    rlimit limit = original_;
    if (bytes) limit.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limit);
  }

 private:
  sighandler_t previous_handler_;
  rlimit original_;
};

TEST_F(TraceFileWriterTest, FailedRecordsNeverJoinTheNextLine) {
  FileSizeCap cap;
  const std::string too_large = "File too large (os error 27)";
  // Each step: the cap on the file size, the size of the record, and the
  // message its append fails with (empty: it succeeds).
  struct Step {
    rlim_t cap;
    size_t size;
    std::string message;
  };
  const Step steps[] = {
      {0, 5, ""},                                               // "aa"\n: 5 bytes
      {8, 5, "Failed to flush: " + too_large},                  // 3 bytes go out: torn
      {8, 5, "Failed to flush: " + too_large},                  // nothing goes out: still torn
      {0, 6, ""},                                               // a line feed first, then "ddd"
      {18, 10000, "Failed to serialize trace: " + too_large},  // torn again
      {19, 5, "Failed to flush: " + too_large},                 // only the closing line feed
      {0, 4, ""},                                               // no line feed ahead of "g"
  };
  for (const Step& step : steps) {
    cap.set(step.cap);
    auto error = writer_->append(JsonValue(std::string(step.size - 3, 'a' + (&step - steps))));
    EXPECT_EQ(error ? error->message : "", step.message) << (&step - steps);
  }
  EXPECT_EQ(contents(), "\"aa\"\n\"bb\n\"ddd\"\n\"ee\n\"g\"\n");
}

TEST_F(TraceFileWriterTest, FaultWhileLockedPoisonsTheWriter) {
  EXPECT_FALSE(writer_->append(JsonValue(1)));
  EXPECT_THROW(TraceFileWriterTestPeer::locked(
                   *writer_, []() -> std::optional<Error> { throw std::runtime_error("fault"); }),
               std::runtime_error);
  EXPECT_TRUE(writer_->poisoned());
  for (int i = 0; i < 2; ++i) {
    auto error = writer_->append(JsonValue(2));
    EXPECT_EQ(error ? error->message : "", "Failed to lock trace file writer");
  }
  writer_.reset();
  EXPECT_EQ(contents(), "1\n");
}

// Python code runs inside the locked step only in a signal handler during a
// wait. If it records to the file its own thread is writing, through any
// writer, it must fail rather than wait for locks its thread holds; another
// file is no concern.
TEST_F(TraceFileWriterTest, ARecordNestedInTheLockedStepIsRefusedForTheSameFileOnly) {
  std::unique_ptr<TraceFileWriter> same_file = open(file_);
  std::unique_ptr<TraceFileWriter> other_file = open(other_file_);
  ASSERT_TRUE(same_file && other_file);
  auto message = [](const std::optional<Error>& error) { return error ? error->message : ""; };
  TraceFileWriterTestPeer::locked(*writer_, [&]() -> std::optional<Error> {
    EXPECT_EQ(message(writer_->append(JsonValue(1))), TraceFileWriter::kNestedMessage);
    EXPECT_EQ(message(same_file->append(JsonValue(2))), TraceFileWriter::kNestedMessage);
    EXPECT_EQ(message(other_file->append(JsonValue(3))), "");
    return std::nullopt;
  });
  EXPECT_EQ(message(same_file->append(JsonValue(4))), "");
  EXPECT_EQ(contents(), "4\n");
  EXPECT_EQ(contents(other_file_), "3\n");
}

// A thread that holds the writer's lock and needs the interpreter lock must
// get it from a thread waiting for the writer's lock. A waiter that keeps the
// interpreter lock deadlocks with the holder: SIGALRM's default action then
// ends the test instead of leaving the run hanging.
TEST_F(TraceFileWriterTest, WaitingForTheLockReleasesTheInterpreter) {
  alarm(30);
  std::atomic<bool> holding{false};
  std::thread holder;
  Py_BEGIN_ALLOW_THREADS
  holder = std::thread([&] {
    TraceFileWriterTestPeer::locked(*writer_, [&]() -> std::optional<Error> {
      holding = true;
      PyGILState_STATE gil = PyGILState_Ensure();
      {
        PyRef time = PyRef::steal(PyImport_ImportModule("time"));
        PyRef slept = PyRef::steal(PyObject_CallMethod(time.get(), "sleep", "d", 0.05));
      }
      PyGILState_Release(gil);
      return std::nullopt;
    });
  });
  while (!holding) std::this_thread::yield();
  Py_END_ALLOW_THREADS
  EXPECT_FALSE(writer_->append(JsonValue("after")));
  Py_BEGIN_ALLOW_THREADS
  holder.join();
  Py_END_ALLOW_THREADS
  alarm(0);
  EXPECT_EQ(contents(), "\"after\"\n");
}

}  // namespace
}  // namespace ossel::python
