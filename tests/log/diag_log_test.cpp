// The diagnostic log against real files in a temporary directory.
#include "core/diag_log.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace tarvo::core {
namespace {

namespace fs = std::filesystem;

std::tm MakeTm(int year, int month, int day, int hour, int minute, int second) {
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  return tm;
}

class DiagLogTest : public ::testing::Test {
 protected:
  // Every line of these tests carries this 16-byte stamp.
  static constexpr const char* kStamp = "2009:5:7 9:3:12 ";

  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "tarvo-log-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    log_.SetLogDir(dir_);
    log_.SetTimeSource([] { return MakeTm(2009, 5, 7, 9, 3, 12); });
  }
  void TearDown() override {
    log_.StopWriter(false);
    fs::remove_all(dir_);
  }

  void Start(std::int32_t max_kib) {
    log_.RaiseMaxLogSize(max_kib);
    ASSERT_TRUE(log_.StartWriter());
  }
  void FinalFlush() {
    log_.RequestFinalFlush();
    log_.WaitIdleForTest();
  }
  std::string File() const { return dir_ + "/KV500M.log"; }
  std::string ReadFile() const {
    std::ifstream in(File(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  void CreateFile(const std::string& content) const {
    std::ofstream(File(), std::ios::binary) << content;
  }

  // Logs `count` lines of kind 'r' for COM1, each `line_len` bytes long
  // (time stamp and CR LF included) and filled with `fill`; returns them.
  std::string LogLines(int count, std::size_t line_len, char fill) {
    const std::size_t text_len = line_len - 16 - 6 - 2;  // stamp, "COM1: ", CR LF
    const std::string text(text_len, fill);
    std::string all;
    for (int i = 0; i < count; ++i) {
      log_.WriteLog('r', "COM1", text);
      all += kStamp + std::string("COM1: ") + text + "\r\n";
    }
    return all;
  }

  std::string dir_;
  DiagLog log_;
};

TEST_F(DiagLogTest, LinesAreFormattedByteExact) {
  struct Case {
    std::tm time;
    char kind;
    const char* port;
    const char* text;
    const char* line;
  };
  const Case cases[] = {
      {MakeTm(2009, 5, 7, 9, 3, 12), 'W', "COM1", "NAK", "2009:5:7 9:3:12 WRITE: COM1: NAK\r\n"},
      {MakeTm(2009, 5, 7, 9, 3, 12), 'R', "COM1", "NAK", "2009:5:7 9:3:12 READ:  COM1: NAK\r\n"},
      {MakeTm(2009, 5, 7, 9, 3, 12), 'C', "COM16", "10 02 AB",
       "2009:5:7 9:3:12 CLEAR: COM16: 10 02 AB\r\n"},
      {MakeTm(2009, 5, 7, 9, 3, 12), 'r', "COM2", "PortClose", "2009:5:7 9:3:12 COM2: PortClose\r\n"},
      {MakeTm(2026, 12, 31, 23, 59, 59), 's', "COM3", "OnSell 1 2",
       "2026:12:31 23:59:59 COM3: OnSell 1 2\r\n"},
      {MakeTm(2010, 1, 1, 0, 0, 0), 'x', "COM4", "", "2010:1:1 0:0:0 COM4: \r\n"},
  };
  Start(500);
  std::string expected;
  for (const Case& c : cases) {
    log_.SetTimeSource([t = c.time] { return t; });
    log_.WriteLog(c.kind, c.port, c.text);
    expected += c.line;
  }
  EXPECT_EQ(log_.PendingBytes(), expected.size());
  FinalFlush();
  EXPECT_EQ(ReadFile(), expected);
  EXPECT_EQ(log_.PendingBytes(), 0u);
}

TEST_F(DiagLogTest, BufferReaching1024BytesIsFlushed) {
  Start(500);
  std::string expected = LogLines(15, 64, 'a');  // 960 bytes: stays in memory
  log_.WaitIdleForTest();
  EXPECT_FALSE(fs::exists(File()));
  EXPECT_EQ(log_.PendingBytes(), 960u);

  expected += LogLines(1, 64, 'b');  // 1024 bytes
  log_.WaitIdleForTest();
  EXPECT_EQ(ReadFile(), expected);
  EXPECT_EQ(log_.PendingBytes(), 0u);
}

TEST_F(DiagLogTest, FinalFlushWritesFewerBytesAndStopCanFlushFirst) {
  Start(500);
  std::string expected = LogLines(2, 64, 'a');
  FinalFlush();
  EXPECT_EQ(ReadFile(), expected);

  expected += LogLines(1, 64, 'b');
  log_.StopWriter(/*flush_first=*/true);
  EXPECT_FALSE(log_.WriterRunning());
  EXPECT_EQ(ReadFile(), expected);
}

TEST_F(DiagLogTest, StopWithoutFlushDiscardsPendingLines) {
  Start(500);
  LogLines(3, 64, 'a');
  log_.StopWriter(/*flush_first=*/false);
  EXPECT_FALSE(log_.WriterRunning());
  EXPECT_EQ(log_.PendingBytes(), 0u);
  EXPECT_FALSE(fs::exists(File()));
}

TEST_F(DiagLogTest, WriterContinuesAtTheEndOfAnExistingFile) {
  CreateFile("earlier run\r\n");
  Start(500);
  const std::string lines = LogLines(2, 64, 'a');
  FinalFlush();
  EXPECT_EQ(ReadFile(), "earlier run\r\n" + lines);
}

TEST_F(DiagLogTest, ChunkPassingTheLimitOfANewFileIsWrittenOverItsStart) {
  Start(1);  // limit 1024 bytes
  const std::string first = LogLines(16, 64, 'a');  // 1024 bytes: flushed, fits
  log_.WaitIdleForTest();
  ASSERT_EQ(ReadFile(), first);

  // 1024 + 320 passes the limit; the position (1024) is not below the file's
  // size, so the chunk goes to offset 0 and the file keeps its length.
  const std::string second = LogLines(5, 64, 'b');
  FinalFlush();
  EXPECT_EQ(ReadFile(), second + first.substr(320));

  // The next chunk fits after the position and runs on over the old text.
  const std::string third = LogLines(5, 64, 'c');
  FinalFlush();
  EXPECT_EQ(ReadFile(), second + third + first.substr(640));
}

TEST_F(DiagLogTest, ExistingLargerFileIsOverwrittenThenEmptied) {
  const std::string old(3000, 'x');
  CreateFile(old);
  Start(2);  // limit 2048 bytes; the writer starts at 3000

  // 3000 + 1024 passes the limit; 3000 is not below the size: offset 0.
  const std::string first = LogLines(16, 64, 'a');
  log_.WaitIdleForTest();
  EXPECT_EQ(ReadFile(), first + old.substr(first.size()));

  // 1024 + 1100 passes the limit while old text lies beyond 1024: the file
  // is emptied and the chunk written from 0.
  const std::string second = LogLines(11, 100, 'b');
  log_.WaitIdleForTest();
  EXPECT_EQ(ReadFile(), second);
}

TEST_F(DiagLogTest, ChunkLargerThanTheLimitIsWrittenWholeFromTheStart) {
  Start(1);  // limit 1024 bytes
  // 960 + 200 bytes: one flush request, one chunk of 1160 bytes.
  std::string big = LogLines(15, 64, 'a');
  big += LogLines(1, 200, 'b');
  log_.WaitIdleForTest();
  ASSERT_EQ(ReadFile(), big);  // whole, although past the limit

  // The next chunk passes the limit too; the position equals the size, so
  // it goes to offset 0 without cutting the file.
  const std::string next = LogLines(1, 100, 'c');
  FinalFlush();
  EXPECT_EQ(ReadFile(), next + big.substr(next.size()));

  // Now old text lies beyond the position (100 of 1160): a chunk that passes
  // the limit empties the file and is written whole from 0.
  std::string last = LogLines(15, 64, 'd');
  last += LogLines(1, 200, 'e');
  log_.WaitIdleForTest();
  EXPECT_EQ(ReadFile(), last);
}

TEST_F(DiagLogTest, PortsInterleaveInAppendOrder) {
  Start(500);
  std::string expected;
  for (int i = 0; i < 6; ++i) {
    const char* port = i % 2 == 0 ? "COM1" : "COM2";
    const std::string text = "line " + std::to_string(i);
    log_.WriteLog(i % 3 == 0 ? 'W' : 'r', port, text);
    expected += kStamp + std::string(i % 3 == 0 ? "WRITE: " : "") + port + ": " + text + "\r\n";
  }
  FinalFlush();
  EXPECT_EQ(ReadFile(), expected);
}

TEST_F(DiagLogTest, MissingDirectoryLosesLinesSilentlyAndLoggingGoesOn) {
  log_.SetLogDir(dir_ + "/missing");
  Start(500);
  LogLines(20, 64, 'a');  // passes 1024: a flush into the missing directory
  FinalFlush();
  EXPECT_EQ(log_.PendingBytes(), 0u);
  EXPECT_FALSE(fs::exists(dir_ + "/missing"));

  // The directory is read at every flush: the log follows a new one.
  log_.SetLogDir(dir_);
  const std::string later = LogLines(1, 64, 'b');
  FinalFlush();
  EXPECT_EQ(ReadFile(), later);
}

// Lines that cannot be kept are counted and said so, once: on stderr when
// the first is dropped, in the log when lines fit again.
TEST_F(DiagLogTest, FullBufferDropsLinesWithOneReportAndALineSayingHowManyWereLost) {
  // No writer runs: nothing drains the buffer.
  log_.RaiseMaxLogSize(500);
  constexpr std::size_t kLine = 4096;
  constexpr int kFit = static_cast<int>(DiagLog::kMaxBufferBytes / kLine);
  ::testing::internal::CaptureStderr();
  const std::string kept = LogLines(kFit, kLine, 'k');
  LogLines(6, kLine, 'x');  // dropped
  const std::string report = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(report,
            "TarvoMDrv: the diagnostic log buffer is full (4194304 bytes): log lines are "
            "dropped until the log writer catches up\n");
  EXPECT_EQ(log_.PendingBytes(), DiagLog::kMaxBufferBytes);

  // The writer starts and empties the buffer; the next line is preceded by
  // the count of the lost ones. (Each chunk passes the size limit and is
  // written from the start of the file.)
  ASSERT_TRUE(log_.StartWriter());
  FinalFlush();
  EXPECT_EQ(ReadFile(), kept);
  const std::string after = LogLines(1, 64, 'a');
  FinalFlush();
  const std::string lost =
      std::string(kStamp) + "TarvoMDrv: 6 log line(s) lost, the log buffer was full\r\n";
  EXPECT_EQ(ReadFile().substr(0, lost.size() + after.size()), lost + after);

  // A second overflow is reported again, once.
  log_.StopWriter(false);
  ::testing::internal::CaptureStderr();
  LogLines(kFit + 3, kLine, 'y');
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), report);
}

// A log file that cannot be written is reported once per streak of failing
// flushes, naming the file and the reason; logging resumes by itself.
TEST_F(DiagLogTest, UnusableDirectoryIsReportedOncePerFailureStreak) {
  const std::string missing = dir_ + "/missing";
  log_.SetLogDir(missing);
  Start(500);
  ::testing::internal::CaptureStderr();
  LogLines(20, 64, 'a');  // passes 1024: a flush into the missing directory
  FinalFlush();
  LogLines(1, 64, 'b');
  FinalFlush();
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "TarvoMDrv: cannot write the diagnostic log " + missing +
                "/KV500M.log: No such file or directory; its lines are lost until it can be "
                "written again\n");

  // The directory appears: the next flush writes, without a word.
  fs::create_directory(missing);
  ::testing::internal::CaptureStderr();
  const std::string back = LogLines(1, 64, 'c');
  FinalFlush();
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  {
    std::ifstream in(missing + "/KV500M.log", std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), back);
  }

  // A new failure streak (a file where the directory should be) is reported
  // again.
  const std::string not_a_dir = dir_ + "/plain-file";
  std::ofstream(not_a_dir) << "x";
  log_.SetLogDir(not_a_dir);
  ::testing::internal::CaptureStderr();
  LogLines(1, 64, 'd');
  FinalFlush();
  LogLines(1, 64, 'e');
  FinalFlush();
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "TarvoMDrv: cannot write the diagnostic log " + not_a_dir +
                "/KV500M.log: Not a directory; its lines are lost until it can be written "
                "again\n");
}

TEST_F(DiagLogTest, BusyBufferMakesALineWaitAndFinallyDropsIt) {
  Start(500);
  log_.SetBusyForTest(true);
  std::thread([&] { log_.WriteLog('r', "COM1", "lost"); }).join();  // ~1 s of retries
  EXPECT_EQ(log_.PendingBytes(), 0u);

  log_.SetBusyForTest(false);
  const std::string kept = LogLines(1, 64, 'k');
  FinalFlush();
  EXPECT_EQ(ReadFile(), kept);
}

TEST_F(DiagLogTest, ConcurrentWritersAppendWholeLines) {
  constexpr int kLines = 400;
  Start(500);
  auto writer = [&](const char* port) {
    for (int i = 0; i < kLines; ++i) log_.WriteLog('s', port, "event " + std::to_string(i));
  };
  std::thread a(writer, "COM1");
  std::thread b(writer, "COM2");
  a.join();
  b.join();
  log_.StopWriter(/*flush_first=*/true);

  // Every line is whole, and each thread's lines keep their order.
  std::istringstream in(ReadFile());
  std::string line;
  int next_com1 = 0, next_com2 = 0;
  while (std::getline(in, line)) {
    ASSERT_FALSE(line.empty());
    ASSERT_EQ(line.back(), '\r') << line;
    line.pop_back();
    const std::string head = kStamp;
    ASSERT_EQ(line.rfind(head, 0), 0u) << line;
    if (line == head + "COM1: event " + std::to_string(next_com1)) {
      ++next_com1;
    } else {
      ASSERT_EQ(line, head + "COM2: event " + std::to_string(next_com2));
      ++next_com2;
    }
  }
  EXPECT_EQ(next_com1, kLines);
  EXPECT_EQ(next_com2, kLines);
}

TEST(DiagLogInstanceTest, DriverWideLogResetsToAFreshState) {
  DiagLog& log = DiagLog::Instance();
  EXPECT_EQ(&log, &DiagLog::Instance());
  log.SetLogDir("/nonexistent-dir");
  EXPECT_EQ(log.FilePath(), "/nonexistent-dir/KV500M.log");
  log.RaiseMaxLogSize(500);
  log.RaiseMaxLogSize(20);  // never lowers
  EXPECT_EQ(log.MaxLogSize(), 500);
  ASSERT_TRUE(log.StartWriter());
  EXPECT_TRUE(log.StartWriter());  // one writer only
  log.WriteLog('r', "COM1", "Init 9600 100 C:\\Logs\\");
  EXPECT_GT(log.PendingBytes(), 0u);

  log.ResetForTest();
  EXPECT_FALSE(log.WriterRunning());
  EXPECT_EQ(log.PendingBytes(), 0u);
  EXPECT_EQ(log.MaxLogSize(), 0);
  EXPECT_EQ(log.LogDir(), "");
}

}  // namespace
}  // namespace tarvo::core
