#include "bench/update_run.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "app/update_dlg.h"
#include "bench/alloc_count.h"
#include "bench/drivers.h"
#include "platform/clock.h"
#include "sim/bus.h"
#include "sim/frame_controller.h"
#include "sim/sample_firmware.h"
#include "sim/stream_controller.h"

namespace bench {

namespace {

constexpr std::uint32_t kDeviceType = 0x6006;  // command frames with CRC, the most host work
constexpr std::uint32_t kFileVersion = 138;    // newer than the controllers' 1.37
constexpr double kExchangeMinimumMs = 2.0;     // one millisecond out, the answer in the next
constexpr std::uint32_t kCrcAppBase = 0x01018000;

// The real clock, noting when each of the system's pauses began and ended.
class PauseClock final : public platform::Clock {
public:
    struct Span {
        double start, end;
        std::uint32_t ms;
    };
    platform::Millis Now() const override { return m_Real.Now(); }
    bool IsVirtual() const override { return false; }
    void AdvanceTo(platform::Millis) override {}
    std::vector<Span> Spans() const {
        std::lock_guard<std::mutex> lock(m_Mutex);
        return m_Spans;
    }

protected:
    bool DoSleep(std::uint32_t ms, const std::atomic<int>* abort) override {
        const double start = Now();
        const bool done = m_Real.Sleep(ms, abort);
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Spans.push_back({start, Now(), ms});
        return done;
    }

private:
    platform::RealClock m_Real;
    mutable std::mutex m_Mutex;
    std::vector<Span> m_Spans;
};

// Milliseconds the thread has spent runnable but waiting for a processor, from the scheduler's
// statistics; negative when they cannot be read.
double RunQueueWaitMs(pid_t tid) {
    if (tid <= 0) return -1;
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/task/%d/schedstat", static_cast<int>(tid));
    std::FILE* f = std::fopen(path, "r");
    if (f == nullptr) return -1;
    unsigned long long running = 0, waiting = 0;
    const int n = std::fscanf(f, "%llu %llu", &running, &waiting);
    std::fclose(f);
    return n == 2 ? static_cast<double>(waiting) / 1e6 : -1;
}

// What the bus reports, kept in room made beforehand so that keeping it allocates nothing.
class TraceLog {
public:
    struct Entry {
        double ms, hostMs;
        bool out;
    };
    explicit TraceLog(std::size_t capacity) : m_Entries(capacity) {}
    void Add(const sim::TraceRecord& r) {
        const std::size_t i = m_Count.fetch_add(1, std::memory_order_relaxed);
        if (i < m_Entries.size()) m_Entries[i] = {r.ms, r.hostMs, r.out};
    }
    std::vector<Entry> Sorted() const {
        std::vector<Entry> entries(
            m_Entries.begin(), m_Entries.begin() + static_cast<std::ptrdiff_t>(
                                                       std::min(m_Count.load(), m_Entries.size())));
        // By the host's times: an answer becomes readable before the report it causes is
        // written.
        std::stable_sort(entries.begin(), entries.end(),
                         [](const Entry& a, const Entry& b) { return a.hostMs < b.hostMs; });
        return entries;
    }
    bool Overflowed() const { return m_Count.load() > m_Entries.size(); }

private:
    std::vector<Entry> m_Entries;
    std::atomic<std::size_t> m_Count{0};
};

// Stands in for the progress bar and times each position the worker sets, which the toolkit
// carries out on the user-interface thread.
class ProgressProbe final : public platform::Control {
public:
    ProgressProbe(platform::Control* inner, platform::DialogWindow* window, std::size_t expected)
        : m_Inner(inner), m_Window(window) {
        m_WaitsUs.reserve(expected);
    }
    void SetWindowText(const std::string& text) override { m_Inner->SetWindowText(text); }
    void EnableWindow(bool enable) override { m_Inner->EnableWindow(enable); }
    void ShowWindow(bool show) override { m_Inner->ShowWindow(show); }
    bool IsWindowEnabled() const override { return m_Inner->IsWindowEnabled(); }
    void SetRange(int lower, int upper) override { m_Inner->SetRange(lower, upper); }
    void SetPos(int position) override {
        if (m_Window->IsUiThread()) {
            m_Inner->SetPos(position);
            return;
        }
        if (m_WorkerSlot.load() < 0) {
            m_WorkerTid.store(::gettid());
            m_WorkerQueueStartMs.store(RunQueueWaitMs(::gettid()));
            m_WorkerSlot.store(ThreadSlot());
        }
        const auto start = std::chrono::steady_clock::now();
        m_Inner->SetPos(position);
        const auto end = std::chrono::steady_clock::now();
        m_WaitsUs.push_back(std::chrono::duration<double, std::micro>(end - start).count());
    }
    const std::vector<double>& WaitsUs() const { return m_WaitsUs; }
    int WorkerSlot() const { return m_WorkerSlot.load(); }
    pid_t WorkerTid() const { return m_WorkerTid.load(); }
    double WorkerQueueStartMs() const { return m_WorkerQueueStartMs.load(); }

private:
    platform::Control* m_Inner;
    platform::DialogWindow* m_Window;
    std::vector<double> m_WaitsUs;  // written by the worker alone, read after it has ended
    std::atomic<int> m_WorkerSlot{-1};
    std::atomic<pid_t> m_WorkerTid{0};
    std::atomic<double> m_WorkerQueueStartMs{-1};
};

// The bus as the application sees it, noting when each read that brought a report returned,
// which splits a reaction into the thread's wake-up and the host's own work.
class ReadTimingHid final : public platform::HidServices {
public:
    ReadTimingHid(platform::HidServices& inner, platform::Clock& clock, std::size_t capacity)
        : m_Inner(inner), m_Clock(clock), m_Returns(capacity) {}
    std::unique_ptr<platform::HidInterfaceList> ListInterfaces() override {
        return m_Inner.ListInterfaces();
    }
    platform::HidHandle Open(const std::string& path, platform::HidAccess access,
                             bool overlapped) override {
        return m_Inner.Open(path, access, overlapped);
    }
    std::string LastOpenError() const override { return m_Inner.LastOpenError(); }
    void Close(platform::HidHandle handle) override { m_Inner.Close(handle); }
    bool GetAttributes(platform::HidHandle handle, std::uint16_t* vendorId,
                       std::uint16_t* productId) override {
        return m_Inner.GetAttributes(handle, vendorId, productId);
    }
    bool WriteReport(platform::HidHandle handle,
                     const std::uint8_t (&report)[platform::kReportSize]) override {
        return m_Inner.WriteReport(handle, report);
    }
    std::uint32_t ReadReport(platform::HidHandle handle,
                             std::uint8_t (&report)[platform::kReportSize],
                             std::uint32_t timeoutMs) override {
        const std::uint32_t result = m_Inner.ReadReport(handle, report, timeoutMs);
        if (result == platform::kWaitCompleted) {
            const std::size_t i = m_Count.fetch_add(1, std::memory_order_relaxed);
            if (i < m_Returns.size()) m_Returns[i] = m_Clock.Now();
        }
        return result;
    }
    std::uintptr_t RegisterNotify(platform::DeviceChangeTarget* target) override {
        return m_Inner.RegisterNotify(target);
    }
    void UnregisterNotify(std::uintptr_t registration) override {
        m_Inner.UnregisterNotify(registration);
    }
    // In the order of time (reads of several threads may interleave).
    std::vector<double> Returns() const {
        std::vector<double> returns(
            m_Returns.begin(), m_Returns.begin() + static_cast<std::ptrdiff_t>(
                                                       std::min(m_Count.load(), m_Returns.size())));
        std::sort(returns.begin(), returns.end());
        return returns;
    }

private:
    platform::HidServices& m_Inner;
    platform::Clock& m_Clock;
    std::vector<double> m_Returns;
    std::atomic<std::size_t> m_Count{0};
};

// Notes which thread runs the simulated controller.
class SlotNoter final : public sim::DeviceModel {
public:
    explicit SlotNoter(std::shared_ptr<sim::DeviceModel> inner) : m_Inner(std::move(inner)) {}
    void OnOutputReport(const sim::Payload& payload, sim::ReportSink& sink) override {
        if (m_Slot.load(std::memory_order_relaxed) < 0) {
            m_Tid.store(::gettid());
            m_Slot.store(ThreadSlot());
        }
        m_Inner->OnOutputReport(payload, sink);
    }
    int Slot() const { return m_Slot.load(); }
    pid_t Tid() const { return m_Tid.load(); }

private:
    std::shared_ptr<sim::DeviceModel> m_Inner;
    std::atomic<int> m_Slot{-1};
    std::atomic<pid_t> m_Tid{0};
};

double StatusKiB(const char* key) {
    std::FILE* f = std::fopen("/proc/self/status", "r");
    if (f == nullptr) return 0;
    char line[256];
    double value = 0;
    const std::size_t length = std::strlen(key);
    while (std::fgets(line, sizeof line, f) != nullptr) {
        if (std::strncmp(line, key, length) == 0 && line[length] == ':') {
            value = std::atof(line + length + 1);
            break;
        }
    }
    std::fclose(f);
    return value;
}

// Starts the peak resident size afresh from the current one (Linux: clear_refs 5).
void ResetPeakResident() {
    const int fd = ::open("/proc/self/clear_refs", O_WRONLY | O_CLOEXEC);
    if (fd < 0) return;
    if (::write(fd, "5", 1) != 1) {
    }
    ::close(fd);
}

Spread SpreadOf(std::vector<double> values) {
    Spread s;
    s.count = values.size();
    if (values.empty()) return s;
    std::sort(values.begin(), values.end());
    const auto at = [&](double q) {
        const std::size_t i =
            static_cast<std::size_t>(std::ceil(q * static_cast<double>(values.size()))) - 1;
        return values[std::min(i, values.size() - 1)];
    };
    s.p50 = at(0.50);
    s.p99 = at(0.99);
    s.max = values.back();
    return s;
}

using Counts = std::array<std::uint64_t, 64>;

Counts AllAllocations() {
    Counts counts{};
    for (int i = 0; i < static_cast<int>(counts.size()); ++i) counts[i] = Allocations(i);
    return counts;
}

void Analyse(const std::vector<TraceLog::Entry>& entries,
             const std::vector<PauseClock::Span>& pauses, const std::vector<double>& readReturns,
             double confirmedAt, RunResult* r) {
    std::size_t first = entries.size(), last = entries.size();
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (!entries[i].out || entries[i].hostMs < confirmedAt) continue;
        if (first == entries.size()) first = i;
        last = i;
    }
    if (first == entries.size()) {
        r->error = "no report after the confirmation";
        return;
    }
    // Host write times bound the span for the pauses; the time itself runs from the first
    // report's millisecond on the link to the last one's.
    const double start = entries[first].hostMs;
    const double end = entries[last].hostMs;
    r->measuredMs = entries[last].ms - entries[first].ms;

    for (const PauseClock::Span& p : pauses) {
        if (p.start >= start && p.start <= end) {
            ++r->pauses;
            r->pausesMs += p.ms;
        }
    }
    const auto pausedBetween = [&](double from, double to) {
        return std::any_of(pauses.begin(), pauses.end(),
                           [&](const PauseClock::Span& p) { return p.start < to && p.end > from; });
    };

    std::vector<double> reactions, wakes, works;
    reactions.reserve(entries.size() / 2 + 1);
    wakes.reserve(entries.size() / 2 + 1);
    works.reserve(entries.size() / 2 + 1);
    const TraceLog::Entry* answer = nullptr;  // the controller's latest report
    for (std::size_t i = first; i <= last; ++i) {
        const TraceLog::Entry& e = entries[i];
        if (!e.out) {
            answer = &e;
            continue;
        }
        ++r->reports;
        if (i == first || answer == nullptr || answer->hostMs < entries[first].hostMs) continue;
        if (pausedBetween(answer->hostMs, e.hostMs)) continue;  // it follows a fixed pause
        ++r->exchanges;
        reactions.push_back((e.hostMs - answer->hostMs) * 1000.0);
        // The read that took the answer returned between its arrival and this write.
        const auto read = std::lower_bound(readReturns.begin(), readReturns.end(), answer->hostMs);
        if (read != readReturns.end() && *read <= e.hostMs) {
            wakes.push_back((*read - answer->hostMs) * 1000.0);
            works.push_back((e.hostMs - *read) * 1000.0);
        }
        // The earliest this report could cross is the millisecond after the answer's; an
        // answer that became readable late moves that on by the simulation's fault.
        const double earliest = answer->ms + 1.0;
        const double possible = std::max(earliest, std::floor(answer->hostMs) + 1.0);
        if (possible > earliest) {
            ++r->slotsLostDevice;
            r->lostDeviceMs += possible - earliest;
        }
        if (e.ms > possible) {
            ++r->slotsLostHost;
            r->lostHostMs += e.ms - possible;
        }
        answer = nullptr;
    }
    r->reaction = SpreadOf(std::move(reactions));
    r->wake = SpreadOf(std::move(wakes));
    r->work = SpreadOf(std::move(works));
    // Every report that answers one of the controller's takes an exchange at its minimum; those
    // that follow a pause take the pause. A report that answers nothing (the message stream's
    // note of a read that waited in vain) needs no time of its own.
    r->boundMs = static_cast<double>(r->exchanges) * kExchangeMinimumMs + r->pausesMs;
}

}  // namespace

RunResult RunUpdate(const UpdateCase& run) {
    RunResult result;
    const bool frameProtocol = run.protocol == Protocol::kFrame;

    PauseClock clock;
    platform::SetClock(&clock);
    sim::SimulatedBus bus;
    bus.SetLinkModel(sim::LinkModel::kFullSpeed);
    bus.KeepTrace(false);
    TraceLog log(2 * (run.imageSize / 32 + 1) + 4096);  // two records per exchange at most
    bus.SetTraceSink([&log](const sim::TraceRecord& r) { log.Add(r); });
    ReadTimingHid hid(bus, clock, run.imageSize / 32 + 4096);
    platform::SetHidServices(&hid);

    std::shared_ptr<sim::FrameController> frame;
    std::shared_ptr<sim::StreamController> stream;
    std::shared_ptr<sim::DeviceModel> model;
    std::vector<std::uint8_t> file;
    sim::DeviceIds ids{};
    if (frameProtocol) {
        sim::FrameControllerConfig config;
        config.deviceType = kDeviceType;
        config.versionWord = 137;
        frame = std::make_shared<sim::FrameController>(config);
        model = frame;
        ids = {0x3A7C, 0x3208};
        file = sim::SampleFrameFile(kDeviceType, run.imageSize, kFileVersion);
    } else {
        stream = std::make_shared<sim::StreamController>();
        model = stream;
        ids = {0x0483, 0x5750};
        file = sim::SampleStreamFile(run.imageSize, kFileVersion);
    }
    const std::vector<std::uint8_t> image = sim::ImageFor(
        file, frameProtocol ? std::optional<std::uint32_t>(kDeviceType) : std::nullopt);

    char path[] = "/tmp/zentrel-bench-XXXXXX.dat";
    const int fd = ::mkstemps(path, 4);
    if (fd < 0 || (::close(fd), !WriteFileBytes(path, file))) {
        result.error = "cannot write the firmware file";
        return result;
    }
    file.clear();
    file.shrink_to_fit();

    auto noter = std::make_shared<SlotNoter>(model);
    bus.Plug(ids, noter, {}, false);

    const std::size_t steps = run.imageSize / (frameProtocol ? 46 : 32) + 16;
    std::unique_ptr<ProgressProbe> probe;
    std::atomic<double> confirmedAt{-1};
    Counts before{}, after{};
    int uiSlot = -1;

    DriveHooks hooks;
    hooks.firmware = path;
    hooks.beforePress = [&](platform::DialogWindow* window) {
        uiSlot = ThreadSlot();
        probe = std::make_unique<ProgressProbe>(g_Progress, window, steps);
        g_Progress = probe.get();
        result.rssBeforeKiB = StatusKiB("VmRSS");
        ResetPeakResident();
    };
    double uiQueueStart = -1, deviceQueueStart = -1;
    hooks.onConfirm = [&] {
        before = AllAllocations();
        uiQueueStart = RunQueueWaitMs(::gettid());
        deviceQueueStart = RunQueueWaitMs(noter->Tid());
        confirmedAt = clock.Now();
    };
    hooks.onBox = [&] {
        after = AllAllocations();
        // The worker is held in this box, so its statistics can still be read.
        const auto grown = [](double start, double end) {
            return start < 0 || end < 0 ? -1.0 : end - start;
        };
        result.uiQueueMs = grown(uiQueueStart, RunQueueWaitMs(::gettid()));
        result.deviceQueueMs = grown(deviceQueueStart, RunQueueWaitMs(noter->Tid()));
        if (probe) {
            result.workerQueueMs =
                grown(probe->WorkerQueueStartMs(), RunQueueWaitMs(probe->WorkerTid()));
        }
    };

    // The diagnostic lines go where a user's terminal would not slow them: nowhere.
    std::fflush(stderr);
    const int savedStderr = ::dup(STDERR_FILENO);
    const int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (devNull >= 0) ::dup2(devNull, STDERR_FILENO);

    std::string error;
    const bool driven =
        run.toolkit == Toolkit::kQt ? DriveQt(hooks, &error) : DriveHeadless(hooks, &error);

    if (savedStderr >= 0) {
        ::dup2(savedStderr, STDERR_FILENO);
        ::close(savedStderr);
    }
    if (devNull >= 0) ::close(devNull);
    result.rssPeakKiB = StatusKiB("VmHWM");
    ::unlink(path);

    bus.Settle();
    if (!driven) {
        result.error = error;
    } else if (hooks.outcome != UpdateOutcome::kSucceeded) {
        result.error = "the update did not succeed";
    } else if (frameProtocol ? frame->ReadFlash(kCrcAppBase,
                                                static_cast<std::uint32_t>(image.size())) != image
                             : stream->StoredImage() != image) {
        result.error = "the controller stored other bytes than the image";
    } else if (log.Overflowed()) {
        result.error = "more reports than room for their records";
    } else {
        Analyse(log.Sorted(), clock.Spans(), hid.Returns(), confirmedAt.load(), &result);
        if (probe) result.uiWait = SpreadOf(probe->WaitsUs());
        const double exchanges = std::max<double>(1, static_cast<double>(result.exchanges));
        const auto per = [&](int slot) {
            return slot < 0 ? 0.0
                            : static_cast<double>(after[static_cast<std::size_t>(slot)] -
                                                  before[static_cast<std::size_t>(slot)]) /
                                  exchanges;
        };
        result.allocsWorker = probe ? per(probe->WorkerSlot()) : 0;
        result.allocsUi = per(uiSlot);
        result.allocsDevice = per(noter->Slot());
        result.ok = result.error.empty();
    }
    bus.SetTraceSink({});
    platform::SetHidServices(nullptr);
    platform::SetClock(nullptr);
    return result;
}

}  // namespace bench
