// A control whose owner thread ends before the control is released: the
// driver stops with the thread, and a last Release on another thread (with
// the owner's loop gone) frees the control without touching that loop.
#include <condition_variable>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "link/frame.h"
#include "tests/automation/module_host_test.h"
#include "tests/support/pty_pair.h"

namespace tarvo::test {
namespace {

using namespace std::chrono_literals;

class ControlThreadEndTest : public ModuleTest {
 protected:
  // Creates a control on a thread of its own that opens COM2 and ends
  // without releasing it; the control is handed over here. With
  // `release_there`, the last reference is released from here while that
  // thread still runs but no longer pumps its loop, just before it ends.
  ITarvo* ControlOfAnEndedThread(bool release_there) {
    ITarvo* handed = nullptr;
    std::mutex mu;
    std::condition_variable cv;
    bool ready = false;  // the control is handed over, or could not be made
    bool released = false;
    std::thread owner([&] {
      struct Ready {
        std::mutex& mu;
        std::condition_variable& cv;
        bool& ready;
        ~Ready() {
          std::lock_guard lock(mu);
          ready = true;
          cv.notify_all();
        }
      } signal{mu, cv, ready};
      Ref<ITarvo> control;
      ASSERT_EQ(CreateControl(control), S_OK);
      BSTR path = SysAllocString(u"");
      LONG value = 77;
      EXPECT_EQ(control->PortOpen(2, 9600, 0, path, &value), S_OK);
      SysFreeString(path);
      EXPECT_EQ(value, 0);
      std::unique_lock lock(mu);
      handed = control.Detach();
      ready = true;
      cv.notify_all();
      if (release_there) cv.wait(lock, [&] { return released; });
    });
    {
      std::unique_lock lock(mu);
      cv.wait(lock, [&] { return ready; });
    }
    if (release_there && handed != nullptr) {
      handed->Release();  // handed to the owner's loop, which never runs it
      {
        std::lock_guard lock(mu);
        released = true;
      }
      cv.notify_all();
      handed = nullptr;
    }
    owner.join();
    return handed;
  }

  DeviceDir devices_;
};

TEST_F(ControlThreadEndTest, AReleaseAfterTheOwnerThreadEndedFreesTheControlHere) {
  for (const bool release_there : {false, true}) {
    SCOPED_TRACE(release_there ? "released before the thread ended" : "released after it ended");
    for (int cycle = 0; cycle < 10; ++cycle) {
      PtyPair reg;
      devices_.Link("COM2", reg.slave_path());
      reg.WriteMaster(link::BuildFrame(std::string("\x9D" "A", 2)));  // the register streams
      ITarvo* control = ControlOfAnEndedThread(release_there);
      // The port was closed as the owner thread ended: another control opens it.
      Ref<ITarvo> next;
      ASSERT_EQ(CreateControl(next), S_OK);
      BSTR path = SysAllocString(u"");
      LONG value = 77;
      EXPECT_EQ(next->PortOpen(2, 9600, 0, path, &value), S_OK);
      SysFreeString(path);
      EXPECT_EQ(value, 0) << "cycle " << cycle;
      next.Reset();
      if (control != nullptr) {
        EXPECT_EQ(Module().CanUnloadNow(), S_FALSE);
        std::thread([control] { control->Release(); }).join();
      }
      ASSERT_TRUE(PumpUntil([] { return Module().CanUnloadNow() == S_OK; })) << "cycle " << cycle;
    }
  }
}

}  // namespace
}  // namespace tarvo::test
