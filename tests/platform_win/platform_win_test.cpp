// Tests of the Win32 twins of the platform seams, run under Wine (or on
// Windows): the message loop on its message-only window, the code page, the
// log file, the module path and the serial device's failures.
//
// A small self-contained runner (GoogleTest is not part of the MinGW
// toolchain here): each test is a function; a failed check prints the file,
// line and expression and the program ends with exit code 1. Waits end on
// conditions with generous deadlines: the loop's Run() ends by Quit() from
// the condition, a second timer guards it.
#include <windows.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/codepage.h"
#include "platform/log_file.h"
#include "platform/message_loop.h"
#include "platform/module_path.h"
#include "platform/serial_device.h"

namespace {

using namespace tarvo::platform;

int g_failures = 0;

#define CHECK(expr)                                                        \
  do {                                                                     \
    if (!(expr)) {                                                         \
      std::printf("  FAILED %s:%d: %s\n", __FILE__, __LINE__, #expr);      \
      ++g_failures;                                                        \
    }                                                                      \
  } while (0)

#define CHECK_EQ(a, b)                                                                      \
  do {                                                                                      \
    const auto& va = (a);                                                                   \
    const auto& vb = (b);                                                                   \
    if (!(va == vb)) {                                                                      \
      std::printf("  FAILED %s:%d: %s == %s\n", __FILE__, __LINE__, #a, #b);                \
      ++g_failures;                                                                         \
    }                                                                                       \
  } while (0)

// A generous deadline for anything that waits on the loop.
constexpr Millis kDeadlineMs = 10000;

// Runs `loop` until `done()` holds or the deadline passes (checked on every
// message and by a guard timer). True when the condition held.
bool RunUntil(MessageLoop& loop, const std::function<bool()>& done) {
  const Millis start = SystemClock().NowMs();
  bool met = false;
  const auto check = [&] {
    if (done()) {
      met = true;
      loop.Quit();
    } else if (SystemClock().NowMs() - start > kDeadlineMs) {
      loop.Quit();
    }
  };
  const auto guard = loop.AddTimer("guard", 20, check);
  check();
  while (!met && SystemClock().NowMs() - start <= kDeadlineMs) {
    loop.Run();
    check();
  }
  loop.RemoveTimer(guard);
  return met;
}

void TimersFireInDueOrderAndAgainEachInterval() {
  MessageLoop loop;
  std::vector<std::string> fired;
  int fast_count = 0;
  loop.AddTimer("slow", 60, [&] { fired.push_back("slow"); });
  const auto fast = loop.AddTimer("fast", 20, [&] {
    fired.push_back("fast");
    ++fast_count;
  });
  CHECK(RunUntil(loop, [&] { return fast_count >= 3 && fired.size() >= 4; }));
  CHECK(!fired.empty() && fired.front() == "fast");
  loop.SetTimerEnabled(fast, false);
  CHECK(!loop.TimerEnabled(fast));
  CHECK_EQ(loop.ReadinessFd(), -1);  // no descriptor on Windows
}

void PostedTasksRunInOrderFromAnyThread() {
  MessageLoop loop;
  std::vector<int> order;
  std::thread poster([&] {
    for (int i = 0; i < 100; ++i) loop.Post([&order, i] { order.push_back(i); });
  });
  poster.join();
  CHECK(RunUntil(loop, [&] { return order.size() == 100; }));
  bool ascending = true;
  for (std::size_t i = 0; i < order.size(); ++i) ascending = ascending && order[i] == int(i);
  CHECK(ascending);
}

void QuitFromAnotherThreadEndsRun() {
  MessageLoop loop;
  std::atomic<bool> ran{false};
  std::thread other([&] {
    loop.Post([&] { ran = true; });
    loop.Quit();
  });
  loop.Run();  // returns once Quit has been seen
  other.join();
  CHECK(RunUntil(loop, [&] { return ran.load(); }));
}

// A handler that pumps (as a command waiting for the register does) must not
// see its own timer fire again inside, while other due work still runs.
void NestedPumpRunsOtherWorkButNotTheRunningTimer() {
  MessageLoop loop;
  int outer_runs = 0;
  int nested_inner_runs = 0;
  bool inner_task_ran = false;
  const auto outer = loop.AddTimer("outer", 20, [&] {
    ++outer_runs;
    if (outer_runs != 1) return;
    loop.Post([&] { inner_task_ran = true; });
    const Millis start = SystemClock().NowMs();
    const int before = outer_runs;
    while (!inner_task_ran && SystemClock().NowMs() - start < kDeadlineMs) {
      ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
      loop.ProcessPendingMessages();
    }
    nested_inner_runs = outer_runs - before;
  });
  CHECK(RunUntil(loop, [&] { return outer_runs >= 2; }));
  CHECK(inner_task_ran);
  CHECK_EQ(nested_inner_runs, 0);
  loop.RemoveTimer(outer);
}

// The pump dispatches the host's messages too: a window of the host on the
// same thread gets its posted message from ProcessPendingMessages.
LRESULT CALLBACK HostProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_APP + 7) {
    *reinterpret_cast<int*>(lp) += 1;
    return 0;
  }
  return ::DefWindowProcW(hwnd, msg, wp, lp);
}

void PumpDispatchesTheHostsMessages() {
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = &HostProc;
  wc.hInstance = ::GetModuleHandleW(nullptr);
  wc.lpszClassName = L"PlatformWinTestHost";
  ::RegisterClassExW(&wc);
  HWND host = ::CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                wc.hInstance, nullptr);
  CHECK(host != nullptr);
  MessageLoop loop;
  int got = 0;
  ::PostMessageW(host, WM_APP + 7, 0, reinterpret_cast<LPARAM>(&got));
  loop.ProcessPendingMessages();
  CHECK_EQ(got, 1);
  ::DestroyWindow(host);
}

// A task that throws: the exception leaves the pump (not through the system's
// frames), and the tasks behind it still run at the next pump.
void AThrowingTaskReachesThePumpsCaller() {
  MessageLoop loop;
  bool second_ran = false;
  loop.Post([] { throw std::runtime_error("task failed"); });
  loop.Post([&] { second_ran = true; });
  bool caught = false;
  try {
    loop.ProcessPendingMessages();
  } catch (const std::runtime_error& e) {
    caught = std::string(e.what()) == "task failed";
  }
  CHECK(caught);
  CHECK(RunUntil(loop, [&] { return second_ran; }));
}

// A task that posts another one does not keep one pump busy: the new task
// waits for the next pump.
void ATaskPostedDuringAPumpWaitsForTheNextPump() {
  MessageLoop loop;
  int runs = 0;
  std::function<void()> again = [&] {
    ++runs;
    loop.Post(again);
  };
  loop.Post(again);
  loop.ProcessPendingMessages();
  CHECK_EQ(runs, 1);
  loop.ProcessPendingMessages();
  CHECK_EQ(runs, 2);
}

void CodePageNarrowsAndWidensOneToOne() {
  ::SetEnvironmentVariableW(L"TARVO_CODEPAGE", nullptr);
  _putenv("TARVO_CODEPAGE=");
  CHECK_EQ(HostCodePage(), std::string("CP1250"));
  struct Case {
    std::u16string text;
    std::string bytes;
  };
  const std::vector<Case> cases = {
      {u"Kc", "Kc"},
      {u"\u0160\u010D\u0159\u017E\u00FD\u00E1\u00ED\u00E9", "\x8A\xE8\xF8\x9E\xFD\xE1\xED\xE9"},
      {u"\u20AC", "\x80"},                // the euro sign
      {u"\u4E2D", "?"},                   // not in the code page
      {u"\U0001F600", "??"},              // a surrogate pair: two units, two bytes
      {u"\u0081", "\x81"},                // undefined byte keeps its own value
  };
  for (const auto& c : cases) {
    CHECK_EQ(ToAnsi(c.text), c.bytes);
    if (c.bytes.find('?') == std::string::npos) CHECK(FromAnsi(c.bytes) == c.text);
  }
  _putenv("TARVO_CODEPAGE=CP1252");
  CHECK_EQ(HostCodePage(), std::string("CP1252"));
  CHECK_EQ(ToAnsi(u"\u00E8\u0160"), std::string("\xE8\x8A"));
  _putenv("TARVO_CODEPAGE=NOPE");
  CHECK_EQ(HostCodePage(), std::string("CP1250"));
  _putenv("TARVO_CODEPAGE=");
}

void LogFileWritesAtOffsetsAndTruncates() {
  wchar_t dir[MAX_PATH];
  ::GetTempPathW(MAX_PATH, dir);
  const std::u16string wide(dir, dir + std::char_traits<wchar_t>::length(dir));
  const std::string path = Utf16ToUtf8(wide) + "platform_win_test.log";
  LogFile file;
  CHECK_EQ(file.Create(path), 0);
  std::int64_t written = 0;
  CHECK_EQ(file.WriteAt("hello world", 0, written), 0);
  CHECK_EQ(written, std::int64_t{11});
  CHECK_EQ(file.WriteAt("HELLO", 0, written), 0);
  CHECK_EQ(file.Size(), std::int64_t{11});
  CHECK(file.Truncate());
  CHECK_EQ(file.Size(), std::int64_t{0});
  CHECK_EQ(file.WriteAt("abc", 0, written), 0);
  file.Close();
  CHECK_EQ(FileSizeOf(path), std::int64_t{3});
  LogFile again;
  CHECK_EQ(again.OpenExisting(path), 0);
  CHECK_EQ(again.Size(), std::int64_t{3});
  again.Close();
  ::DeleteFileW(reinterpret_cast<const wchar_t*>(Utf8ToUtf16(path).c_str()));
  LogFile missing;
  CHECK_EQ(missing.OpenExisting(path), int(ERROR_FILE_NOT_FOUND));
  CHECK(!SystemErrorText(ERROR_FILE_NOT_FOUND).empty());

  const std::tm now = LocalTimeNow();
  CHECK(now.tm_year + 1900 >= 2020);
  CHECK(now.tm_mon >= 0 && now.tm_mon <= 11 && now.tm_mday >= 1 && now.tm_mday <= 31);
}

void ModulePathNamesThisProgram() {
  const std::string path = ModulePath();
  CHECK(path.size() > 4 && path.substr(path.size() - 4) == ".exe");
  const std::string dir = ModuleDirectory();
  CHECK(!dir.empty() && path.compare(0, dir.size(), dir) == 0 && path.size() > dir.size() + 1);
}

void SerialDeviceNamesAndOpenFailures() {
  struct Case {
    const char* name;
    const char* path;
  };
  for (const Case& c : {Case{"COM1", "\\\\.\\COM1"}, Case{"COM12", "\\\\.\\COM12"},
                        Case{"\\\\.\\COM3", "\\\\.\\COM3"}, Case{"COMX", "COMX"}}) {
    CHECK_EQ(SerialDevicePath(c.name), std::string(c.path));
  }
  SerialDevice device;
  bool threw = false;
  try {
    device.Open(SerialDevicePath("COM250"), SerialLine{}, true, true, nullptr, nullptr);
  } catch (const SerialError& e) {
    threw = e.Step() == SerialStep::kOpen && e.OsError() != 0;
  }
  CHECK(threw);
  CHECK(!device.IsOpen());
  CHECK(!IsPermissionError(ERROR_ACCESS_DENIED));
}


// Serial I/O against a peer on a pseudo-terminal mapped as a COM port (run.sh
// sets it up and names the port in TARVO_TEST_COM; without it the test is
// skipped). The peer waits for "hello", answers "ping", expects "pong" and
// then closes its end, which the device must report as a hang-up.
void SerialDeviceTalksToAPeerAndSeesItHangUp() {
  const char* port = std::getenv("TARVO_TEST_COM");
  if (port == nullptr || *port == '\0') {
    std::printf("  (skipped: TARVO_TEST_COM not set)\n");
    return;
  }
  std::mutex mu;
  std::condition_variable cv;
  std::int32_t notified = 0;
  bool hung_up = false;
  const auto wait_for = [&](const std::function<bool()>& pred) {
    std::unique_lock lock(mu);
    return cv.wait_for(lock, std::chrono::milliseconds(kDeadlineMs), pred);
  };
  SerialDevice device;
  SerialLine line;
  line.rate = 9600;
  // A port closed while its line is up and its event thread waits for an
  // arrival closes (the wait is ended, not waited out), and opens again.
  device.Open(SerialDevicePath(port), line, true, true, [](std::int32_t) {}, [] {});
  CHECK(device.IsOpen());
  device.Close();
  CHECK(!device.IsOpen());
  device.Open(
      SerialDevicePath(port), line, true, true,
      [&](std::int32_t count) {
        std::lock_guard lock(mu);
        notified += count;
        cv.notify_all();
      },
      [&] {
        std::lock_guard lock(mu);
        hung_up = true;
        cv.notify_all();
      });
  CHECK(device.IsOpen());
  CHECK_EQ(device.Write("hello", SerialWriteTimeout{}), 5);

  CHECK(wait_for([&] { return notified > 0; }));
  std::string got;
  const Millis start = SystemClock().NowMs();
  while (got.size() < 4 && SystemClock().NowMs() - start < kDeadlineMs) {
    got += device.Read(64);
    if (got.size() < 4) wait_for([&] { return notified > static_cast<std::int32_t>(got.size()); });
  }
  CHECK_EQ(got, std::string("ping"));
  CHECK(device.Read(64).empty());  // nothing more waiting: returns at once

  CHECK_EQ(device.Write("pong", SerialWriteTimeout{}), 4);
  CHECK(wait_for([&] { return hung_up; }));
  CHECK(device.LineDown());
  bool read_failed = false;
  try {
    device.Read(8);
  } catch (const SerialError& e) {
    read_failed = e.Step() == SerialStep::kRead;
  }
  CHECK(read_failed);
  device.Close();
  CHECK(!device.IsOpen());
}

}  // namespace

int main() {
  const struct {
    const char* name;
    void (*run)();
  } tests[] = {
      {"TimersFireInDueOrderAndAgainEachInterval", TimersFireInDueOrderAndAgainEachInterval},
      {"PostedTasksRunInOrderFromAnyThread", PostedTasksRunInOrderFromAnyThread},
      {"QuitFromAnotherThreadEndsRun", QuitFromAnotherThreadEndsRun},
      {"NestedPumpRunsOtherWorkButNotTheRunningTimer", NestedPumpRunsOtherWorkButNotTheRunningTimer},
      {"PumpDispatchesTheHostsMessages", PumpDispatchesTheHostsMessages},
      {"AThrowingTaskReachesThePumpsCaller", AThrowingTaskReachesThePumpsCaller},
      {"ATaskPostedDuringAPumpWaitsForTheNextPump", ATaskPostedDuringAPumpWaitsForTheNextPump},
      {"CodePageNarrowsAndWidensOneToOne", CodePageNarrowsAndWidensOneToOne},
      {"LogFileWritesAtOffsetsAndTruncates", LogFileWritesAtOffsetsAndTruncates},
      {"ModulePathNamesThisProgram", ModulePathNamesThisProgram},
      {"SerialDeviceNamesAndOpenFailures", SerialDeviceNamesAndOpenFailures},
      {"SerialDeviceTalksToAPeerAndSeesItHangUp", SerialDeviceTalksToAPeerAndSeesItHangUp},
  };
  for (const auto& t : tests) {
    const int before = g_failures;
    try {
      t.run();
    } catch (const SerialError& e) {
      std::printf("  FAILED: serial step %d failed with system error %d\n",
                  static_cast<int>(e.Step()), e.OsError());
      ++g_failures;
    } catch (const std::exception& e) {
      std::printf("  FAILED: exception: %s\n", e.what());
      ++g_failures;
    }
    std::printf("%s %s\n", g_failures == before ? "ok    " : "FAILED", t.name);
  }
  std::printf("%d check(s) failed\n", g_failures);
  return g_failures == 0 ? 0 : 1;
}
