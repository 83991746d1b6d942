// Tests against a real kernel HID stack: the simulated controllers become kernel HID devices
// through /dev/uhid, and the real backend (hidraw through hidapi, hot-plug from udev) finds,
// opens, reads and updates them as it would a controller on a USB cable.
//
// They run in the guest that tests/guest/run-guest.sh boots, as root, with ZENTREL_GUEST=1 set;
// anywhere else every test skips, so that a plain test run neither needs nor touches the
// machine's own HID devices.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "app/res/dialog_102.h"
#include "frame/address_map.h"
#include "guest/linux_app_harness.h"
#include "hid/hid.h"
#include "image/firmware_writer.h"
#include "platform/debug.h"
#include "platform/linux/linux_hid.h"
#include "sim/frame_controller.h"
#include "sim/sample_firmware.h"
#include "sim/scripted_device.h"
#include "sim/stream_controller.h"
#include "sim/uhid_device.h"

namespace {

using platform::kDeviceArrival;
using platform::kDeviceRemoveComplete;

constexpr sim::DeviceIds kStreamIds{0x0483, 0x5750};
constexpr sim::DeviceIds kStreamBIds{0x3A7C, 0x5750};
constexpr sim::DeviceIds kFrameIds{0x3A7C, 0x3208};
// Ids that sort before every controller's in the kernel's device names, so that the search
// meets such a device first.
constexpr sim::DeviceIds kOtherIds{0x0001, 0x0001};

// The kernel makes a device's hidraw node shortly after uhid took it; in an emulated guest
// that can take a while.
constexpr int kNodeWaitMs = 15000;
constexpr int kEventWaitMs = 15000;
constexpr int kUpdateBoundMs = 180000;
constexpr uid_t kNobody = 65534;

// Why these tests cannot run here, or nullptr in the guest.
const char* OutsideTheGuest() {
    if (std::getenv("ZENTREL_GUEST") == nullptr)
        return "runs in the guest rig only (tests/guest/run-guest.sh sets ZENTREL_GUEST)";
    if (::geteuid() != 0) return "needs root for /dev/uhid";
    if (::access("/dev/uhid", F_OK) != 0) return "no /dev/uhid";
    return nullptr;
}

bool UdevdRuns() {
    return ::access("/run/udev/control", F_OK) == 0;
}

// Waits until udevd has handled every event so far (it may still be setting a node's owner
// and mode when the node appears).
void SettleUdev() {
    if (!UdevdRuns()) return;
    if (std::system("udevadm settle --timeout=30") != 0) {
        ADD_FAILURE() << "udevadm settle did not finish";
    }
}

std::uint32_t ElapsedMs(std::chrono::steady_clock::time_point since) {
    return static_cast<std::uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now() - since)
                                          .count());
}

// The paths the backend lists, in its order.
std::vector<std::string> ListedPaths(platform::HidServices& hid) {
    std::vector<std::string> paths;
    std::unique_ptr<platform::HidInterfaceList> list = hid.ListInterfaces();
    for (std::size_t i = 0; list->Exists(i); ++i) {
        std::string path;
        if (list->ReadPath(i, list->PathSize(i), &path)) paths.push_back(path);
    }
    return paths;
}

// The tables' rows: a controller kind for the search, a protocol for the whole update.
struct KindCase {
    const char* name;
    sim::DeviceIds ids;
    ProtocolKind kind;
};

struct UpdateCase {
    const char* name;
    sim::DeviceIds ids;
    bool stream;                              // else command frames
    std::optional<std::uint32_t> deviceType;  // command frames only
    std::size_t imageSize;
};

void PrintTo(const KindCase& c, std::ostream* os) {
    *os << c.name;
}
void PrintTo(const UpdateCase& c, std::ostream* os) {
    *os << c.name;
}

// Test names from the table's own names.
template <typename Case>
std::string CaseName(const ::testing::TestParamInfo<Case>& param) {
    return param.param.name;
}

// A window stand-in that records the device-change codes it is given and serves WatchReadable
// with a poll thread, as the toolkits' event loops do.
class RecordingTarget final : public platform::DeviceChangeTarget {
public:
    ~RecordingTarget() override { Stop(); }

    void PostDeviceChange(std::uint32_t code) override {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Codes.push_back(code);
        m_Cv.notify_all();
    }
    void WatchReadable(int fd, void (*onReadable)(void*), void* context) override {
        m_Watchers.emplace_back([this, fd, onReadable, context] {
            while (!m_Stop) {
                pollfd p{fd, POLLIN, 0};
                if (::poll(&p, 1, 50) > 0 && (p.revents & POLLIN) != 0) onReadable(context);
            }
        });
    }
    // Ends the watchers; call before the registration that gave them their descriptor ends.
    void Stop() {
        m_Stop = true;
        for (std::thread& t : m_Watchers) {
            if (t.joinable()) t.join();
        }
        m_Watchers.clear();
    }
    bool WaitForCount(std::size_t count, int timeoutMs) {
        std::unique_lock<std::mutex> lock(m_Mutex);
        return m_Cv.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return m_Codes.size() >= count; });
    }
    std::vector<std::uint32_t> Codes() const {
        std::lock_guard<std::mutex> lock(m_Mutex);
        return m_Codes;
    }

private:
    mutable std::mutex m_Mutex;
    std::condition_variable m_Cv;
    std::vector<std::uint32_t> m_Codes;
    std::atomic<bool> m_Stop{false};
    std::vector<std::thread> m_Watchers;
};

// A controller as a kernel device, with the hidraw node the kernel made for it.
struct KernelDevice {
    std::unique_ptr<sim::UhidDevice> device;
    std::string node;
};

class Guest : public ::testing::Test {
protected:
    void SetUp() override {
        if (const char* why = OutsideTheGuest()) GTEST_SKIP() << why;
    }

    // Creates the kernel device and waits for its node; fails the test when either fails.
    static KernelDevice Plug(const sim::DeviceIds& ids,
                             std::shared_ptr<sim::DeviceModel> model = nullptr) {
        if (!model) model = std::make_shared<sim::ScriptedDevice>();
        KernelDevice d;
        d.device = std::make_unique<sim::UhidDevice>(ids, std::move(model));
        EXPECT_TRUE(d.device->Created()) << d.device->Error();
        if (d.device->Created()) d.node = d.device->WaitForNode(kNodeWaitMs);
        EXPECT_FALSE(d.node.empty()) << "no hidraw node for " << d.device->Uniq();
        return d;
    }
};

// The link on the real backend, outside the application.
class GuestLink : public Guest {
protected:
    void SetUp() override {
        Guest::SetUp();
        if (IsSkipped()) return;
        platform::SetDebugSink([this](const std::string& line) {
            std::lock_guard<std::mutex> lock(m_LinesMutex);
            m_Lines.push_back(line);
        });
        link.m_bNotifyRegistered = 1;  // these tests register on their own where they need to
    }
    void TearDown() override { platform::SetDebugSink({}); }
    std::vector<std::string> Lines() const {
        std::lock_guard<std::mutex> lock(m_LinesMutex);
        return m_Lines;
    }

    platform::LinuxHid hid;

private:
    // Chooses the backend for as long as the link lives: the link's destructor still uses it.
    struct UseBackend {
        explicit UseBackend(platform::HidServices& services) {
            platform::SetHidServices(&services);
        }
        ~UseBackend() { platform::SetHidServices(nullptr); }
    } m_UseBackend{hid};

protected:
    CHid link;

private:
    mutable std::mutex m_LinesMutex;
    std::vector<std::string> m_Lines;
};

// --- The search ---

class GuestSearch : public GuestLink, public ::testing::WithParamInterface<KindCase> {};

TEST_P(GuestSearch, FindsTheControllerByItsIdsBehindAnotherDevice) {
    const KindCase& c = GetParam();
    const KernelDevice other = Plug(kOtherIds);
    const KernelDevice controller = Plug(c.ids);
    ASSERT_FALSE(other.node.empty());
    ASSERT_FALSE(controller.node.empty());

    // Both are listed, and each reports the ids it was created with.
    const std::vector<std::string> listed = ListedPaths(hid);
    for (const auto& [node, ids] : {std::pair{other.node, kOtherIds}, {controller.node, c.ids}}) {
        EXPECT_NE(std::find(listed.begin(), listed.end(), node), listed.end()) << node;
        const platform::HidHandle h = hid.Open(node, platform::HidAccess::kReadWrite, true);
        ASSERT_NE(h, platform::kInvalidHandle) << node;
        std::uint16_t vid = 0, pid = 0;
        EXPECT_TRUE(hid.GetAttributes(h, &vid, &pid));
        EXPECT_EQ(vid, ids.vendorId) << node;
        EXPECT_EQ(pid, ids.productId) << node;
        hid.Close(h);
    }

    g_ProtocolKind = c.kind == ProtocolKind::CommandFrame ? ProtocolKind::MessageStream
                                                          : ProtocolKind::CommandFrame;
    ASSERT_EQ(link.FindDevice(), 1);
    EXPECT_EQ(link.m_DevicePath, controller.node);
    EXPECT_EQ(g_ProtocolKind.load(), c.kind);
    EXPECT_EQ(Lines(), std::vector<std::string>{"m_DevicePath:" + controller.node + "\n"});
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, GuestSearch,
    ::testing::Values(KindCase{"stream", kStreamIds, ProtocolKind::MessageStream},
                      KindCase{"streamB", kStreamBIds, ProtocolKind::MessageStream},
                      KindCase{"frame", kFrameIds, ProtocolKind::CommandFrame}),
    CaseName<KindCase>);

TEST_F(GuestLink, DevicesWithOtherIdsAreNoController) {
    // One of the controllers' vendor ids with another's product id is no controller either.
    const KernelDevice other = Plug(kOtherIds);
    const KernelDevice mixed = Plug({0x0483, 0x3208});
    ASSERT_FALSE(other.node.empty());
    ASSERT_FALSE(mixed.node.empty());
    EXPECT_EQ(link.FindDevice(), 0);
    EXPECT_EQ(link.m_bFound.load(), 0);
    EXPECT_TRUE(link.m_DevicePath.empty());
}

// A node whose ids match but that the user may not open is named in a diagnostic line and
// passed over, and the search goes on to the next controller.
TEST_F(GuestLink, AMatchingNodeThatCannotBeOpenedIsPassedOver) {
    const KernelDevice frame = Plug(kFrameIds);
    const KernelDevice stream = Plug(kStreamIds);
    ASSERT_FALSE(frame.node.empty());
    ASSERT_FALSE(stream.node.empty());
    SettleUdev();  // udevd applies its own modes to new nodes; ours come after

    // Whichever comes first in the list is the one taken away.
    const std::vector<std::string> listed = ListedPaths(hid);
    const auto at = [&](const std::string& node) {
        return std::find(listed.begin(), listed.end(), node) - listed.begin();
    };
    const bool frameFirst = at(frame.node) < at(stream.node);
    const std::string& blocked = frameFirst ? frame.node : stream.node;
    const std::string& open = frameFirst ? stream.node : frame.node;
    ASSERT_EQ(::chmod(blocked.c_str(), 0000), 0) << std::strerror(errno);
    ASSERT_EQ(::chmod(open.c_str(), 0666), 0) << std::strerror(errno);

    // Root opens any node; an ordinary user cannot open the blocked one.
    ASSERT_EQ(::seteuid(kNobody), 0) << std::strerror(errno);
    errno = 0;
    const platform::HidHandle denied = hid.Open(blocked, platform::HidAccess::kReadWrite, true);
    const int found = link.FindDevice();
    const std::string path = link.m_DevicePath;
    const ProtocolKind kind = g_ProtocolKind.load();
    ASSERT_EQ(::seteuid(0), 0) << std::strerror(errno);

    EXPECT_EQ(denied, platform::kInvalidHandle) << blocked << " opened without permission";
    if (denied != platform::kInvalidHandle) hid.Close(denied);
    EXPECT_EQ(found, 1);
    EXPECT_EQ(path, open);
    EXPECT_EQ(kind, frameFirst ? ProtocolKind::MessageStream : ProtocolKind::CommandFrame);
    // The user who sees no controller can learn which node was refused, and why.
    EXPECT_EQ(Lines(), (std::vector<std::string>{"cannot open " + blocked + ": Permission denied\n",
                                                 "m_DevicePath:" + open + "\n"}));
}

// --- Hot-plug ---

TEST_F(GuestLink, ArrivalAndRemovalReachTheWindowAsDeviceChangeMessages) {
    ASSERT_TRUE(UdevdRuns()) << "systemd-udevd is not running: the monitor's udev source is "
                                "silent without it";
    RecordingTarget target;
    const std::uintptr_t registration = hid.RegisterNotify(&target);
    ASSERT_NE(registration, 0u);

    KernelDevice controller = Plug(kFrameIds);
    ASSERT_FALSE(controller.node.empty());
    EXPECT_TRUE(target.WaitForCount(1, kEventWaitMs)) << "no arrival";
    controller.device->Unplug();
    EXPECT_TRUE(target.WaitForCount(2, kEventWaitMs)) << "no removal";
    SettleUdev();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // anything more would show

    target.Stop();
    hid.UnregisterNotify(registration);
    EXPECT_EQ(target.Codes(), (std::vector<std::uint32_t>{kDeviceArrival, kDeviceRemoveComplete}));
}

// --- Reports ---

// Answers every output report with its bytes inverted, so that a reply cannot be mistaken for
// an echo nor for a report that was there before.
std::vector<sim::Payload> Inverted(const sim::Payload& in) {
    sim::Payload out;
    for (std::size_t i = 0; i < in.size(); ++i) out[i] = static_cast<std::uint8_t>(~in[i]);
    return {out};
}

TEST_F(GuestLink, ReadHidTimesOutReadsAReportAndFailsOnceTheDeviceIsGone) {
    auto model = std::make_shared<sim::ScriptedDevice>(&Inverted);
    KernelDevice controller = Plug(kStreamIds, model);
    ASSERT_FALSE(controller.node.empty());
    ASSERT_EQ(link.FindDevice(), 1);
    ASSERT_EQ(link.OpenDevice(), 1);

    // Nothing sent: the read waits out its time-out and leaves the buffer alone.
    std::uint8_t buffer[64];
    std::memset(buffer, 0xEE, sizeof buffer);
    link.SetReadTimeout(200);
    EXPECT_EQ(link.ReadHid(buffer, 64), platform::kWaitTimeout);
    EXPECT_TRUE(std::all_of(buffer, buffer + 64, [](std::uint8_t b) { return b == 0xEE; }));

    // One report out, the answer back; the controller got the payload without the report id.
    sim::Payload sent;
    for (std::size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<std::uint8_t>(3 * i + 1);
    ASSERT_EQ(link.WriteHid(sent.data(), 64), 1);
    link.SetReadTimeout(5000);
    ASSERT_EQ(link.ReadHid(buffer, 64), platform::kWaitCompleted);
    sim::Payload received;
    std::memcpy(received.data(), buffer, received.size());
    EXPECT_EQ(received, Inverted(sent)[0]);
    EXPECT_EQ(model->Received(), std::vector<sim::Payload>{sent});

    // Pulled out: the pending read ends with an error well before its time-out.
    controller.device->Unplug();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(link.ReadHid(buffer, 64), platform::kWaitFailed);
    EXPECT_LT(ElapsedMs(start), 2500u);
    EXPECT_EQ(link.WriteHid(sent.data(), 64), 0);
}

// --- Whole updates through the application ---

// A controller of one protocol with its firmware file, and what it stored.
struct Flashable {
    static constexpr std::uint32_t kNewVersion = 138;  // the controllers run 1.37

    explicit Flashable(const UpdateCase& c) : row(c) {
        if (c.stream) {
            stream = std::make_shared<sim::StreamController>();
            model = stream;
            file = sim::SampleStreamFile(c.imageSize, kNewVersion);
        } else {
            sim::FrameControllerConfig config;
            config.deviceType = c.deviceType;
            config.versionWord = 137;
            frame = std::make_shared<sim::FrameController>(config);
            model = frame;
            file = sim::SampleFrameFile(c.deviceType, c.imageSize, kNewVersion);
        }
        image = sim::ImageFor(file, c.deviceType);
    }
    // The image as the controller keeps it: the joined data, or the flash at the image's base.
    std::vector<std::uint8_t> Stored() const {
        if (stream) return stream->StoredImage();
        return frame->ReadFlash(AddressMapFor(row.deviceType).appBase,
                                static_cast<std::uint32_t>(row.imageSize));
    }
    // The controller's own word that the update ended.
    bool Completed() const {
        if (stream) return stream->UpdateComplete() && stream->CurrentVersion() == kNewVersion;
        return frame->FinishReceived();
    }

    UpdateCase row;
    std::shared_ptr<sim::StreamController> stream;
    std::shared_ptr<sim::FrameController> frame;
    std::shared_ptr<sim::DeviceModel> model;
    std::vector<std::uint8_t> file;
    std::vector<std::uint8_t> image;
};

const UpdateCase kUpdateCases[] = {
    {"stream", kStreamIds, true, std::nullopt, 4096},
    {"frame3009", kFrameIds, false, 0x3009, 4096},
    {"frame6006", kFrameIds, false, 0x6006, 4096},
};

class GuestUpdate : public Guest, public ::testing::WithParamInterface<UpdateCase> {};

TEST_P(GuestUpdate, ArrivalConnectsAndTheUpdateStoresTheFilesImageByteForByte) {
    ASSERT_TRUE(UdevdRuns()) << "systemd-udevd is not running: arrival would never be heard";
    const UpdateCase& c = GetParam();
    Flashable controller(c);
    ASSERT_EQ(controller.image.size(), c.imageSize);

    guest::LinuxAppHarness h;
    h.firmwarePath = h.TempFile("fw.dat", controller.file);
    h.Start();
    platform::HeadlessWindow& w = h.Window();
    EXPECT_FALSE(w.ControlSnapshot(IDC_USB_UPDATE).enabled);

    // Plugged in while the window runs: udev's arrival connects it and reads its version.
    KernelDevice device = Plug(c.ids, controller.model);
    ASSERT_FALSE(device.node.empty());
    ASSERT_TRUE(
        h.WaitUntil([&] { return w.ControlSnapshot(IDC_USB_UPDATE).enabled; }, kEventWaitMs))
        << "the arrival did not connect the controller";
    EXPECT_TRUE(h.WaitUntil([&] { return w.Title() == "Zentrel Update v2.31(VozeVer V1.37)"; },
                            kEventWaitMs))
        << w.Title();

    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(h.RunUpdate(kUpdateBoundMs));
    std::printf("[ GUEST    ] %s: %zu bytes in %u ms\n", c.name, c.imageSize, ElapsedMs(start));
    EXPECT_EQ(h.Dlg().LastOutcome(), UpdateOutcome::kSucceeded);
    EXPECT_TRUE(w.ControlSnapshot(IDC_STATIC).visible);
    EXPECT_EQ(controller.Stored(), controller.image);
    EXPECT_TRUE(controller.Completed());

    // Pulled out: udev's removal reaches the window, which finds no controller any more.
    device.device->Unplug();
    EXPECT_TRUE(
        h.WaitUntil([&] { return !w.ControlSnapshot(IDC_USB_UPDATE).enabled; }, kEventWaitMs))
        << "the removal did not disconnect the controller";
    EXPECT_TRUE(h.WaitUntil([&] { return w.Title() == "Zentrel Update v2.31"; }, kEventWaitMs))
        << w.Title();
    h.Close();
}

INSTANTIATE_TEST_SUITE_P(Protocols, GuestUpdate, ::testing::ValuesIn(kUpdateCases),
                         CaseName<UpdateCase>);

// --- The terminal program ---

#ifdef ZENTREL_CLI
// A folder of its own under $TMPDIR (or /tmp), removed with everything in it.
class TempDir {
public:
    TempDir() {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern =
            std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/zentrel-cli-XXXXXX";
        if (::mkdtemp(pattern.data()) != nullptr) m_Path = pattern;
    }
    ~TempDir() {
        if (m_Path.empty()) return;
        const std::string command = "rm -rf '" + m_Path + "'";
        if (std::system(command.c_str()) != 0) {
            // Left in the guest's memory-backed /tmp, which goes with the guest.
        }
    }
    std::string File(const std::string& name) const { return m_Path + "/" + name; }

private:
    std::string m_Path;
};

std::string ReadText(const std::string& path) {
    std::string text;
    if (std::FILE* f = std::fopen(path.c_str(), "r")) {
        char chunk[4096];
        for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, f)) > 0;) text.append(chunk, n);
        std::fclose(f);
    }
    return text;
}

// Runs zentrel-update-cli with the arguments, its output (not a terminal: the event lines) to
// a file, bounded in time; the exit status, or -1 when it did not exit by itself.
int RunCli(const std::string& arguments, const std::string& outputPath) {
    const std::string command = "timeout --kill-after=5 120 '" ZENTREL_CLI "' " + arguments +
                                " >'" + outputPath + "' 2>&1 </dev/null";
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class GuestCli : public Guest, public ::testing::WithParamInterface<UpdateCase> {};

TEST_P(GuestCli, FlashesThePluggedControllerAndExitsZero) {
    Flashable controller(GetParam());
    const KernelDevice device = Plug(GetParam().ids, controller.model);
    ASSERT_FALSE(device.node.empty());
    TempDir dir;
    const std::string firmware = dir.File("fw.dat");
    ASSERT_TRUE(WriteFileBytes(firmware, controller.file));

    const int status = RunCli("--firmware '" + firmware + "' --yes", dir.File("out"));
    EXPECT_EQ(status, 0) << ReadText(dir.File("out"));
    EXPECT_EQ(controller.Stored(), controller.image);
    EXPECT_TRUE(controller.Completed());
}

INSTANTIATE_TEST_SUITE_P(Protocols, GuestCli, ::testing::ValuesIn(kUpdateCases),
                         CaseName<UpdateCase>);

TEST_F(Guest, CliWaitsForAControllerPluggedInLater) {
    ASSERT_TRUE(UdevdRuns()) << "systemd-udevd is not running: arrival would never be heard";
    Flashable controller(kUpdateCases[0]);
    TempDir dir;
    const std::string firmware = dir.File("fw.dat");
    ASSERT_TRUE(WriteFileBytes(firmware, controller.file));

    int status = -2;
    std::thread cli(
        [&] { status = RunCli("--firmware '" + firmware + "' --yes --wait 60", dir.File("out")); });
    // Plugged in once the program says it waits: only udev's arrival can tell it then.
    const auto start = std::chrono::steady_clock::now();
    bool waiting = false;
    while (!waiting && ElapsedMs(start) < 30000) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        waiting = ReadText(dir.File("out")).find("Waiting") != std::string::npos;
    }
    EXPECT_TRUE(waiting) << "no word of waiting: " << ReadText(dir.File("out"));
    const KernelDevice device = Plug(kUpdateCases[0].ids, controller.model);
    cli.join();
    EXPECT_FALSE(device.node.empty());
    EXPECT_EQ(status, 0) << ReadText(dir.File("out"));
    EXPECT_EQ(controller.Stored(), controller.image);
}
#endif

}  // namespace
