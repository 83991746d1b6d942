// A worker's progress step on the headless toolkit: it does not wait for a busy user-interface
// thread, yet it takes effect in order with the worker's other changes, and whoever reads the
// bar or the event lines afterwards sees it.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "app/res/dialog_102.h"
#include "support/app_harness.h"

namespace {

// Holds the user-interface thread in a task until released. The bound only ends a run whose
// code under test waits for that thread; a passing run never reaches it.
class UiLatch {
public:
    void Hold(platform::HeadlessWindow& window, std::function<void()> first = {}) {
        window.Post([this, first] {
            if (first) first();
            std::unique_lock<std::mutex> lock(m_Mutex);
            m_Held = true;
            m_Changed.notify_all();
            m_TimedOut =
                !m_Changed.wait_for(lock, std::chrono::seconds(10), [&] { return m_Released; });
        });
        std::unique_lock<std::mutex> lock(m_Mutex);
        m_Changed.wait(lock, [&] { return m_Held; });
    }
    void Release() {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Released = true;
        m_Changed.notify_all();
    }
    bool TimedOut() {
        std::lock_guard<std::mutex> lock(m_Mutex);
        return m_TimedOut;
    }

private:
    std::mutex m_Mutex;
    std::condition_variable m_Changed;
    bool m_Held = false;
    bool m_Released = false;
    bool m_TimedOut = false;
};

std::vector<std::string> EventsAfter(const std::vector<std::string>& events, std::size_t start) {
    return std::vector<std::string>(events.begin() + static_cast<std::ptrdiff_t>(start),
                                    events.end());
}

TEST(ProgressStep, DoesNotWaitForABusyUserInterfaceThread) {
    test::AppHarness h;
    h.Start();
    platform::Control* bar = h.Window().GetDlgItem(IDC_PROGRESS);
    const std::size_t before = h.toolkit.Events().size();
    UiLatch latch;
    latch.Hold(h.Window());
    bar->SetPos(42);  // returns although the thread that carries it out is held
    latch.Release();
    EXPECT_EQ(h.Window().ControlSnapshot(IDC_PROGRESS).position, 42);
    EXPECT_FALSE(latch.TimedOut());
    EXPECT_EQ(EventsAfter(h.toolkit.Events(), before), (std::vector<std::string>{"progress: 42"}));
}

TEST(ProgressStep, TakesEffectBetweenTheCallersEarlierAndLaterChanges) {
    test::AppHarness h;
    h.Start();
    platform::HeadlessWindow& window = h.Window();
    platform::Control* bar = window.GetDlgItem(IDC_PROGRESS);
    platform::Control* button = window.GetDlgItem(IDC_USB_UPDATE);
    const std::size_t before = h.toolkit.Events().size();
    std::vector<int> positionsSeenByTheButtonChange;
    std::thread worker([&] {
        button->EnableWindow(true);
        bar->SetPos(10);
        bar->SetPos(10);   // the same position again is a step of its own
        bar->SetPos(250);  // held to the range, as the bar does
        // A change that waits: by the time it is made, every earlier step has been.
        window.RunOnUiThread([&] {
            positionsSeenByTheButtonChange =
                window.ControlSnapshot(IDC_PROGRESS).positionsRequested;
        });
        button->EnableWindow(false);
        bar->SetPos(7);
    });
    worker.join();
    EXPECT_EQ(EventsAfter(h.toolkit.Events(), before),
              (std::vector<std::string>{"button: enabled", "progress: 10", "progress: 10",
                                        "progress: 100", "button: disabled", "progress: 7"}));
    const std::vector<int> requested = window.ControlSnapshot(IDC_PROGRESS).positionsRequested;
    ASSERT_GE(requested.size(), 4u);
    EXPECT_EQ(std::vector<int>(requested.end() - 4, requested.end()),
              (std::vector<int>{10, 10, 250, 7}));
    ASSERT_GE(positionsSeenByTheButtonChange.size(), 3u);
    EXPECT_EQ(positionsSeenByTheButtonChange.back(), 250);
    EXPECT_EQ(window.ControlSnapshot(IDC_PROGRESS).position, 7);
}

TEST(ProgressStep, AStepAfterTheDialogHasEndedChangesNothingAndDoesNotHang) {
    test::AppHarness h;
    h.Start();
    platform::Control* bar = h.Window().GetDlgItem(IDC_PROGRESS);
    const std::size_t before = h.toolkit.Events().size();
    UiLatch latch;
    // The dialog ends while its thread is held, so the window is still there for the step.
    latch.Hold(h.Window(), [&] { h.Dlg().EndDialog(platform::kIdOk); });
    std::thread late([&] {
        bar->SetPos(55);
        bar->SetPos(56);  // a dropped step leaves nothing for the next one to wait for
    });
    late.join();
    latch.Release();
    h.Close();
    EXPECT_FALSE(latch.TimedOut());
    EXPECT_EQ(EventsAfter(h.toolkit.Events(), before), std::vector<std::string>{});
}

}  // namespace
