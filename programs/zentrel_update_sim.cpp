// zentrel-update-sim: the updater on the simulated bus with one simulated controller, in the Qt
// window or unattended (--auto).
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/res/dialog_102.h"
#include "app/update_app.h"
#include "app/update_dlg.h"
#include "frame/address_map.h"
#include "platform/clock.h"
#include "platform/headless/headless_toolkit.h"
#include "programs/auto_pilot.h"
#include "programs/report_trace.h"
#include "programs/sim_options.h"
#include "sim/bus.h"
#include "sim/faults.h"
#include "sim/frame_controller.h"
#include "sim/sample_firmware.h"
#include "sim/stream_controller.h"
#ifdef ZENTREL_HAVE_QT
#include "platform/qt/qt_toolkit.h"
#endif

namespace {

struct Controller {
    sim::DeviceIds ids{};
    std::shared_ptr<sim::StreamController> stream;
    std::shared_ptr<sim::FrameController> frame;
    std::shared_ptr<sim::DeviceModel> model;
};

Controller MakeController(const SimOptions& o) {
    Controller c;
    if (o.controller == SimController::kStream || o.controller == SimController::kStreamB) {
        c.ids = o.controller == SimController::kStream ? sim::DeviceIds{0x0483, 0x5750}
                                                       : sim::DeviceIds{0x3A7C, 0x5750};
        sim::StreamControllerConfig config;
        config.version = o.version;
        config.firmwareType = static_cast<std::uint8_t>(o.firmwareType);
        config.productCode = static_cast<std::uint16_t>(o.productCode);
        config.hardwareRevision = static_cast<std::uint8_t>(o.hwRevision);
        config.flashTiming = o.flashTiming;
        c.stream = std::make_shared<sim::StreamController>(config);
        c.model = c.stream;
    } else if (o.controller == SimController::kFrame) {
        c.ids = {0x3A7C, 0x3208};
        sim::FrameControllerConfig config;
        config.deviceType = o.deviceType;
        config.versionWord = o.version;
        config.flashTiming = o.flashTiming;
        c.frame = std::make_shared<sim::FrameController>(config);
        c.model = c.frame;
    }
    return c;
}

// Writes the sample firmware for the controller into a temporary file; "" on failure.
std::string WriteSampleFirmware(const SimOptions& o) {
    const char* tmp = std::getenv("TMPDIR");
    std::string path = std::string(tmp && *tmp ? tmp : "/tmp") + "/zentrel-sample-XXXXXX.dat";
    std::vector<char> name(path.begin(), path.end());
    name.push_back('\0');
    const int fd = ::mkstemps(name.data(), 4);
    if (fd < 0) return {};
    ::close(fd);
    path = name.data();
    const std::uint32_t sampleVersion = 138;  // 1.38: newer than the controller's default 1.37
    const std::vector<std::uint8_t> bytes =
        o.controller == SimController::kFrame
            ? sim::SampleFrameFile(o.deviceType, 4096, sampleVersion)
            : sim::SampleStreamFile(4096, sampleVersion);
    return WriteFileBytes(path, bytes) ? path : std::string();
}

// Plug and unplug events at their times, then one call of `done`.
class Schedule {
public:
    void Start(sim::SimulatedBus& bus, const SimOptions& o, const Controller& c, int* deviceId,
               std::function<void()> done) {
        m_Thread = std::thread([this, &bus, o, c, deviceId, done] {
            struct Event {
                std::uint32_t at;
                bool plug;
            };
            std::vector<Event> events;
            if (o.plugAtMs) events.push_back({*o.plugAtMs, true});
            if (o.unplugAtMs) events.push_back({*o.unplugAtMs, false});
            std::sort(events.begin(), events.end(),
                      [](const Event& a, const Event& b) { return a.at < b.at; });
            const auto start = std::chrono::steady_clock::now();
            for (const Event& e : events) {
                std::unique_lock<std::mutex> lock(m_Mutex);
                if (m_Cv.wait_until(lock, start + std::chrono::milliseconds(e.at),
                                    [&] { return m_Stop; }))
                    return;
                lock.unlock();
                if (e.plug && c.model) {
                    *deviceId = bus.Plug(c.ids, c.model);
                } else if (!e.plug && *deviceId != 0) {
                    bus.Unplug(*deviceId);
                }
            }
            done();
        });
    }
    ~Schedule() {
        {
            std::lock_guard<std::mutex> lock(m_Mutex);
            m_Stop = true;
        }
        m_Cv.notify_all();
        if (m_Thread.joinable()) m_Thread.join();
    }

private:
    std::thread m_Thread;
    std::mutex m_Mutex;
    std::condition_variable m_Cv;
    bool m_Stop = false;
};

bool WriteFlashDump(const std::string& path, const Controller& c, std::uint32_t imageSize,
                    const SimOptions& o) {
    std::vector<std::uint8_t> bytes;
    if (c.stream) {
        bytes = c.stream->StoredImage();
    } else if (c.frame) {
        bytes = c.frame->ReadFlash(AddressMapFor(o.deviceType).appBase, imageSize);
    }
    return WriteFileBytes(path, bytes);
}

}  // namespace

int main(int argc, char** argv) {
    SimOptions options;
    bool help = false;
    std::string error;
    if (!ParseSimOptions(argc, argv, &options, &help, &error)) {
        std::fprintf(stderr, "zentrel-update-sim: %s\n\n%s", error.c_str(), kSimUsage);
        return kExitUsage;
    }
    if (help) {
        std::fputs(kSimUsage, stdout);
        std::fputs("\n", stdout);
        std::fputs(sim::kFaultGrammar, stdout);
        return kExitSuccess;
    }
#ifndef ZENTREL_HAVE_QT
    if (!options.autoRun) {
        std::fprintf(stderr, "zentrel-update-sim: built without the window; use --auto\n");
        return kExitUsage;
    }
#endif

    // "none" means none at start: a controller plugged in later is of the default kind.
    if (options.controller == SimController::kNone && options.plugAtMs) {
        options.controller = SimController::kFrame;
    }

    std::string firmware = options.firmware;
    std::string samplePath;
    if (firmware.empty()) {
        samplePath = WriteSampleFirmware(options);
        if (samplePath.empty()) {
            std::fprintf(stderr, "zentrel-update-sim: cannot write the sample firmware\n");
            return kExitFailed;
        }
        firmware = samplePath;
        std::fprintf(stderr, "sample firmware: %s\n", firmware.c_str());
    }

    sim::SimulatedBus bus;
    bus.SetLinkModel(options.link);
    platform::SetHidServices(&bus);

    ReportTrace trace;
    if (!options.tracePath.empty()) {
        if (!trace.Open(options.tracePath)) {
            std::fprintf(stderr, "zentrel-update-sim: cannot write %s\n",
                         options.tracePath.c_str());
            return kExitFailed;
        }
        bus.SetTraceSink(
            [&trace](const sim::TraceRecord& r) { trace.Write(r.ms, r.out, r.report); });
    }

    Controller controller = MakeController(options);
    if (controller.model) {
        // Every controller runs behind the fault layer; without --fault it changes nothing.
        auto faulty =
            std::make_shared<sim::FaultyDevice>(controller.model, controller.stream ? 1 : 0);
        sim::ApplyFaults(options.faults, *faulty, bus, controller.stream.get(),
                         controller.frame.get());
        controller.model = faulty;
    }
    int deviceId = 0;
    if (controller.model && !options.plugAtMs)
        deviceId = bus.Plug(controller.ids, controller.model, {}, false);

    std::unique_ptr<platform::Toolkit> toolkit;
    platform::HeadlessToolkit* headless = nullptr;
    std::unique_ptr<AutoPilot> pilot;

    if (options.autoRun) {
        auto h = std::make_unique<platform::HeadlessToolkit>();
        headless = h.get();
        pilot = std::make_unique<AutoPilot>(*headless);
        h->SetBoxScript([&](const platform::BoxRequest& box) -> std::optional<int> {
            if ((box.type & platform::kMbOkCancel) != 0 && options.cancelConfirm)
                return platform::kIdCancel;
            return platform::kIdOk;
        });
        h->SetFileScript([&](const platform::FileDialogRequest&) -> std::optional<std::string> {
            if (options.cancelFile) return std::nullopt;
            return firmware;
        });
        h->SetEventSink([&](const std::string& line) {
            std::fprintf(stdout, "%s\n", line.c_str());
            std::fflush(stdout);
            pilot->OnEvent(line);
        });
        toolkit = std::move(h);
    } else {
#ifdef ZENTREL_HAVE_QT
        toolkit = platform::CreateQtToolkit(argc, argv);
#endif
    }
    platform::SetToolkit(toolkit.get());

    std::atomic<bool> finished{false};
    std::thread watchdog;
    std::mutex watchdogMutex;
    std::condition_variable watchdogCv;
    if (options.autoRun) {
        watchdog = std::thread([&] {
            std::unique_lock<std::mutex> lock(watchdogMutex);
            if (!watchdogCv.wait_for(lock, std::chrono::milliseconds(options.timeoutMs),
                                     [&] { return finished.load(); })) {
                std::fprintf(stderr, "zentrel-update-sim: time-out after %u ms\n",
                             options.timeoutMs);
                std::fflush(stdout);
                trace.Flush();
                if (!samplePath.empty()) ::unlink(samplePath.c_str());
                std::_Exit(kExitTimeout);
            }
        });
    }

    Schedule schedule;
    CUpdateApp app;
    std::atomic<std::uint32_t> imageSize{0};
    app.InitInstance([&](CUpdateDlg& dlg) {
        if (pilot) {
            pilot->Attach(dlg);
        } else {
            // In the window every update may go on; the dump shows the last one's image.
            dlg.SetWorkerEndedHook(
                [&imageSize, &dlg](UpdateOutcome) { imageSize = dlg.m_ImageSize; });
        }
        schedule.Start(bus, options, controller, &deviceId, [&] {
            // Once the plug events are done, a run that never got to press the button ends.
            if (pilot) pilot->EndIfNotPressed();
        });
    });

    {
        std::lock_guard<std::mutex> lock(watchdogMutex);
        finished = true;
    }
    watchdogCv.notify_all();
    if (watchdog.joinable()) watchdog.join();

    if (pilot) imageSize = pilot->ImageSize();
    int status =
        pilot && pilot->Outcome() == UpdateOutcome::kSucceeded ? kExitSuccess : kExitFailed;
    if (!options.flashDumpPath.empty() &&
        !WriteFlashDump(options.flashDumpPath, controller, imageSize, options)) {
        std::fprintf(stderr, "zentrel-update-sim: cannot write %s\n",
                     options.flashDumpPath.c_str());
        status = kExitFailed;
    }
    if (!samplePath.empty()) ::unlink(samplePath.c_str());
    platform::SetToolkit(nullptr);
    // In the window the user ends the program; it ends well.
    return options.autoRun ? status : kExitSuccess;
}
