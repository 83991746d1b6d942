#include <condition_variable>
#include <mutex>
#include <thread>

#include "app/res/dialog_102.h"
#include "bench/drivers.h"
#include "platform/headless/headless_toolkit.h"

namespace bench {

namespace {

constexpr auto kUpdateLimit = std::chrono::minutes(10);

}  // namespace

bool DriveHeadless(DriveHooks& hooks, std::string* error) {
    platform::HeadlessToolkit toolkit;
    platform::SetToolkit(&toolkit);
    toolkit.SetFileScript([&](const platform::FileDialogRequest&) {
        return std::optional<std::string>(hooks.firmware);
    });
    toolkit.SetBoxScript([&](const platform::BoxRequest& box) -> std::optional<int> {
        if ((box.type & platform::kMbOkCancel) != 0) {
            if (hooks.onConfirm) hooks.onConfirm();
        } else if (hooks.onBox) {
            hooks.onBox();
        }
        return platform::kIdOk;
    });

    bool ok = true;
    {
        CUpdateDlg dialog;
        std::mutex mutex;
        std::condition_variable ended;
        bool workerEnded = false;
        dialog.SetWorkerEndedHook([&](UpdateOutcome outcome) {
            std::lock_guard<std::mutex> lock(mutex);
            hooks.outcome = outcome;
            workerEnded = true;
            ended.notify_all();
        });
        std::thread ui([&] { dialog.DoModal(); });
        platform::HeadlessWindow* window = toolkit.WaitForWindow(10000);
        if (window == nullptr) {
            *error = "the window did not start";
            ok = false;
        } else {
            window->RunOnUiThread([&] {
                if (hooks.beforePress) hooks.beforePress(window);
            });
            window->Click(IDC_USB_UPDATE);
            std::unique_lock<std::mutex> lock(mutex);
            if (!ended.wait_for(lock, kUpdateLimit, [&] { return workerEnded; })) {
                *error = "the update did not end";
                ok = false;
            }
        }
        toolkit.WithWindow([](platform::HeadlessWindow& w) { w.RequestClose(); });
        ui.join();
    }
    platform::SetToolkit(nullptr);
    return ok;
}

}  // namespace bench
