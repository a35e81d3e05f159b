#include "trace_file_writer.h"

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace ossel::python {

class TraceFileWriterTestPeer {
 public:
  static std::optional<Error> locked(TraceFileWriter& writer,
                                     const std::function<std::optional<Error>()>& body) {
    return writer.locked(body);
  }
};

namespace {

namespace fs = std::filesystem;

class TraceFileWriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("ossel-writer-" + std::to_string(getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string path(const char* name) const { return (dir_ / name).string(); }
  static std::string contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  static std::unique_ptr<TraceFileWriter> open_or_fail(const std::string& path) {
    auto writer = TraceFileWriter::open(path);
    EXPECT_TRUE(writer.ok()) << (writer.ok() ? "" : writer.message());
    return writer.ok() ? std::move(writer).value() : nullptr;
  }
  // The descriptor this process holds open on `path`, or -1.
  static int descriptor_of(const std::string& path) {
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
      std::error_code error;
      if (fs::read_symlink(entry.path(), error) == fs::path(path)) {
        return std::stoi(entry.path().filename().string());
      }
    }
    return -1;
  }

  fs::path dir_;
};

TEST_F(TraceFileWriterTest, OpensForAppendingWithCreationModeAndCloseOnExec) {
  const std::string existing = path("existing.jsonl");
  { std::ofstream(existing) << "kept"; }
  const std::string fresh = path("fresh.jsonl");
  const mode_t old_mask = umask(027);
  auto existing_writer = open_or_fail(existing);
  auto fresh_writer = open_or_fail(fresh);
  umask(old_mask);

  EXPECT_EQ(contents(existing), "kept");
  struct stat info;
  ASSERT_EQ(stat(fresh.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0640u);
  const int fd = descriptor_of(existing);
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
  const int status_flags = fcntl(fd, F_GETFL);
  EXPECT_TRUE(status_flags & O_APPEND);
  EXPECT_EQ(status_flags & O_ACCMODE, O_WRONLY);
}

// Caps the size of files this process may write, so that writes past the cap
// are cut short (then fail with EFBIG) instead of raising SIGXFSZ.
class FileSizeCap {
 public:
  FileSizeCap() {
    getrlimit(RLIMIT_FSIZE, &original_);
    previous_handler_ = signal(SIGXFSZ, SIG_IGN);
  }
  ~FileSizeCap() {
    setrlimit(RLIMIT_FSIZE, &original_);
    signal(SIGXFSZ, previous_handler_);
  }
  void set(rlim_t bytes) {
    rlimit limit = original_;
    limit.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  void lift() { setrlimit(RLIMIT_FSIZE, &original_); }

 private:
  rlimit original_;
  sighandler_t previous_handler_;
};

TEST_F(TraceFileWriterTest, FailedRecordsNeverJoinTheNextLine) {
  const std::string file = path("trace.jsonl");
  auto writer = open_or_fail(file);
  ASSERT_TRUE(writer);
  FileSizeCap cap;
  const std::string too_large = "File too large (os error 27)";
  // Each step: the cap on the file size (0: none), the size of the record,
  // and the message its append fails with (empty: it succeeds).
  struct Step {
    rlim_t cap;
    size_t size;
    std::string message;
  };
  const Step steps[] = {
      {0, 5, ""},                                    // "aa"\n: 5 bytes
      {8, 5, "Failed to flush: " + too_large},       // 3 bytes go out: torn
      {8, 5, "Failed to flush: " + too_large},       // nothing goes out: still torn
      {0, 6, ""},                                    // a line feed first, then "ddd"
      {18, 10000, "Failed to serialize trace: " + too_large},  // torn again
      {19, 5, "Failed to flush: " + too_large},      // only the closing line feed
      {0, 4, ""},                                    // no line feed ahead of "g"
  };
  for (const Step& step : steps) {
    if (step.cap) {
      cap.set(step.cap);
    } else {
      cap.lift();
    }
    auto error = writer->append(JsonValue(std::string(step.size - 3, 'a' + (&step - steps))));
    EXPECT_EQ(error ? error->message : "", step.message) << (&step - steps);
  }
  EXPECT_EQ(contents(file), "\"aa\"\n\"bb\n\"ddd\"\n\"ee\n\"g\"\n");
}

TEST_F(TraceFileWriterTest, FaultWhileLockedPoisonsTheWriter) {
  const std::string file = path("trace.jsonl");
  auto writer = open_or_fail(file);
  ASSERT_TRUE(writer);
  EXPECT_FALSE(writer->append(JsonValue(1)));
  EXPECT_THROW(TraceFileWriterTestPeer::locked(
                   *writer, []() -> std::optional<Error> { throw std::runtime_error("fault"); }),
               std::runtime_error);
  EXPECT_TRUE(writer->poisoned());
  for (int i = 0; i < 2; ++i) {
    auto error = writer->append(JsonValue(2));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->message, "Failed to lock trace file writer");
  }
  writer.reset();
  EXPECT_EQ(contents(file), "1\n");
}

// A thread that holds the writer's lock and needs the interpreter lock must
// get it from a thread waiting for the writer's lock.
TEST_F(TraceFileWriterTest, WaitingForTheLockReleasesTheInterpreter) {
  const std::string file = path("trace.jsonl");
  auto writer = open_or_fail(file);
  ASSERT_TRUE(writer);
  std::atomic<bool> holding{false};
  std::thread holder;
  Py_BEGIN_ALLOW_THREADS
  holder = std::thread([&] {
    TraceFileWriterTestPeer::locked(*writer, [&]() -> std::optional<Error> {
      holding = true;
      PyGILState_STATE gil = PyGILState_Ensure();
      PyObject* time = PyImport_ImportModule("time");
      Py_XDECREF(PyObject_CallMethod(time, "sleep", "d", 0.05));
      Py_XDECREF(time);
      PyGILState_Release(gil);
      return writer->poisoned() ? Error{"unexpected"} : std::optional<Error>();
    });
  });
  while (!holding) std::this_thread::yield();
  Py_END_ALLOW_THREADS
  EXPECT_FALSE(writer->append(JsonValue("after")));
  Py_BEGIN_ALLOW_THREADS
  holder.join();
  Py_END_ALLOW_THREADS
  EXPECT_EQ(contents(file), "\"after\"\n");
}

}  // namespace
}  // namespace ossel::python
