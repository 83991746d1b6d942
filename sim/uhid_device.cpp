#include "sim/uhid_device.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/input.h>
#include <linux/uhid.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>

namespace sim {

namespace {

// Vendor-defined usage page, one application collection with a 64-byte input report and a
// 64-byte output report. No Report ID item: the reports are unnumbered, as the controller's.
constexpr std::uint8_t kReportDescriptor[] = {
    0x06, 0x00, 0xFF,  // Usage Page (Vendor Defined 0xFF00)
    0x09, 0x01,        // Usage (0x01)
    0xA1, 0x01,        // Collection (Application)
    0x15, 0x00,        //   Logical Minimum (0)
    0x26, 0xFF, 0x00,  //   Logical Maximum (255)
    0x75, 0x08,        //   Report Size (8)
    0x95, 0x40,        //   Report Count (64)
    0x09, 0x02,        //   Usage (0x02)
    0x81, 0x02,        //   Input (Data, Variable, Absolute)
    0x09, 0x03,        //   Usage (0x03)
    0x91, 0x02,        //   Output (Data, Variable, Absolute)
    0xC0,              // End Collection
};

// Copies text into a fixed, zero-filled field, always leaving a terminating zero.
template <std::size_t N>
void CopyField(std::uint8_t (&field)[N], const std::string& text) {
    std::memset(field, 0, N);
    std::memcpy(field, text.data(), std::min(text.size(), N - 1));
}

std::string NextUniq() {
    static std::atomic<unsigned> counter{0};
    return "zentrel-" + std::to_string(::getpid()) + "-" + std::to_string(++counter);
}

// True when the hidraw entry's HID device carries `uniq`.
bool NodeHasUniq(const std::string& entry, const std::string& uniq) {
    std::ifstream uevent("/sys/class/hidraw/" + entry + "/device/uevent");
    const std::string wanted = "HID_UNIQ=" + uniq;
    for (std::string line; std::getline(uevent, line);) {
        if (line == wanted) return true;
    }
    return false;
}

}  // namespace

class UhidDevice::Sink final : public ReportSink {
public:
    explicit Sink(UhidDevice& device) : m_Device(device) {}
    void SendInput(const Payload& payload, double delayMs) override {
        if (delayMs > 0) {
            m_Device.Queue(payload, delayMs);
        } else {
            m_Device.SendInput(payload);
        }
    }
    void Unplug() override { m_Device.Unplug(); }

private:
    UhidDevice& m_Device;
};

UhidDevice::UhidDevice(const DeviceIds& ids, std::shared_ptr<DeviceModel> model, std::string name)
    : m_Ids(ids), m_Model(std::move(model)), m_Uniq(NextUniq()) {
    m_Fd = ::open("/dev/uhid", O_RDWR | O_CLOEXEC);
    if (m_Fd < 0) {
        m_Error = std::string("cannot open /dev/uhid: ") + std::strerror(errno);
        return;
    }
    m_StopFd = ::eventfd(0, EFD_CLOEXEC);
    if (m_StopFd < 0) {
        m_Error = std::string("eventfd: ") + std::strerror(errno);
        return;
    }

    uhid_event event{};
    event.type = UHID_CREATE2;
    uhid_create2_req& create = event.u.create2;
    CopyField(create.name, name);
    CopyField(create.phys, "zentrel-uhid/" + m_Uniq);
    CopyField(create.uniq, m_Uniq);
    create.rd_size = sizeof kReportDescriptor;
    std::memcpy(create.rd_data, kReportDescriptor, sizeof kReportDescriptor);
    create.bus = BUS_USB;
    create.vendor = ids.vendorId;
    create.product = ids.productId;
    create.version = 0x0100;
    create.country = 0;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        if (!WriteEvent(&event, sizeof event)) {
            m_Error = std::string("UHID_CREATE2: ") + std::strerror(errno);
            return;
        }
        m_Plugged = true;
    }
    m_Created = true;
    m_Reader = std::thread([this] { ReadLoop(); });
    m_DelaySender = std::thread([this] { DelayLoop(); });
}

UhidDevice::~UhidDevice() {
    Unplug();
    {
        std::lock_guard<std::mutex> lock(m_DelayMutex);
        m_Stopping = true;
    }
    m_DelayCv.notify_all();
    if (m_StopFd >= 0) {
        const std::uint64_t one = 1;
        if (::write(m_StopFd, &one, sizeof one) < 0) {
            // An eventfd counter this far from its limit always takes the write.
        }
    }
    if (m_Reader.joinable()) m_Reader.join();
    if (m_DelaySender.joinable()) m_DelaySender.join();
    if (m_StopFd >= 0) ::close(m_StopFd);
    if (m_Fd >= 0) ::close(m_Fd);
}

bool UhidDevice::WriteEvent(const void* event, std::size_t size) {
    for (;;) {
        const ssize_t n = ::write(m_Fd, event, size);
        if (n == static_cast<ssize_t>(size)) return true;
        if (n < 0 && errno == EINTR) continue;
        if (n >= 0) errno = EIO;
        return false;
    }
}

void UhidDevice::Unplug() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    if (!m_Plugged) return;
    uhid_event event{};
    event.type = UHID_DESTROY;
    WriteEvent(&event, sizeof event);
    // Gone whether or not the kernel took the event: closing the descriptor destroys it too.
    m_Plugged = false;
}

bool UhidDevice::Plugged() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Plugged;
}

bool UhidDevice::SendInput(const Payload& payload) {
    uhid_event event{};
    event.type = UHID_INPUT2;
    event.u.input2.size = static_cast<std::uint16_t>(payload.size());  // no report id in front
    std::memcpy(event.u.input2.data, payload.data(), payload.size());
    std::lock_guard<std::mutex> lock(m_Mutex);
    if (!m_Plugged) return false;
    return WriteEvent(&event, sizeof event);
}

void UhidDevice::Queue(const Payload& payload, double delayMs) {
    const auto due = std::chrono::steady_clock::now() +
                     std::chrono::microseconds(static_cast<std::int64_t>(delayMs * 1000));
    {
        std::lock_guard<std::mutex> lock(m_DelayMutex);
        // Equal due times keep their order of sending.
        auto at = std::upper_bound(m_DelayQueue.begin(), m_DelayQueue.end(), due,
                                   [](auto t, const Delayed& d) { return t < d.due; });
        m_DelayQueue.insert(at, Delayed{due, payload});
    }
    m_DelayCv.notify_all();
}

void UhidDevice::DelayLoop() {
    std::unique_lock<std::mutex> lock(m_DelayMutex);
    for (;;) {
        if (m_Stopping) return;
        if (m_DelayQueue.empty()) {
            m_DelayCv.wait(lock);
            continue;
        }
        if (std::chrono::steady_clock::now() < m_DelayQueue.front().due) {
            m_DelayCv.wait_until(lock, m_DelayQueue.front().due);
            continue;
        }
        const Payload payload = m_DelayQueue.front().payload;
        m_DelayQueue.pop_front();
        lock.unlock();
        SendInput(payload);
        lock.lock();
    }
}

void UhidDevice::ReadLoop() {
    uhid_event event;
    for (;;) {
        pollfd fds[2] = {{m_Fd, POLLIN, 0}, {m_StopFd, POLLIN, 0}};
        const int ready = ::poll(fds, 2, -1);
        if (ready < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if ((fds[1].revents & POLLIN) != 0) return;
        if ((fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) return;
        if ((fds[0].revents & POLLIN) == 0) continue;
        const ssize_t n = ::read(m_Fd, &event, sizeof event);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            return;
        }
        HandleEvent(&event, static_cast<std::size_t>(n));
    }
}

void UhidDevice::HandleEvent(const void* raw, std::size_t size) {
    // The kernel may hand over shorter events than this header's; the rest counts as zeros.
    uhid_event event{};
    std::memcpy(&event, raw, std::min(size, sizeof event));
    switch (event.type) {
        case UHID_OUTPUT: {
            const uhid_output_req& output = event.u.output;
            if (output.rtype != UHID_OUTPUT_REPORT) return;
            // uhid passes the report number in front even for unnumbered reports; the model
            // takes the payload alone.
            Payload payload{};
            const std::size_t length = std::min<std::size_t>(output.size, UHID_DATA_MAX);
            if (length > 1) {
                std::memcpy(payload.data(), output.data + 1, std::min(length - 1, payload.size()));
            }
            if (!Plugged() || !m_Model) return;
            ++m_OutputReports;
            Sink sink(*this);
            m_Model->OnOutputReport(payload, sink);
            return;
        }
        case UHID_GET_REPORT: {
            // The controller has no feature reports; an answer at once keeps the kernel from
            // waiting out its own time-out.
            uhid_event reply{};
            reply.type = UHID_GET_REPORT_REPLY;
            reply.u.get_report_reply.id = event.u.get_report.id;
            reply.u.get_report_reply.err = EIO;
            std::lock_guard<std::mutex> lock(m_Mutex);
            if (m_Plugged) WriteEvent(&reply, sizeof reply);
            return;
        }
        case UHID_SET_REPORT: {
            uhid_event reply{};
            reply.type = UHID_SET_REPORT_REPLY;
            reply.u.set_report_reply.id = event.u.set_report.id;
            reply.u.set_report_reply.err = EIO;
            std::lock_guard<std::mutex> lock(m_Mutex);
            if (m_Plugged) WriteEvent(&reply, sizeof reply);
            return;
        }
        default:  // UHID_START, UHID_STOP, UHID_OPEN, UHID_CLOSE: nothing to do
            return;
    }
}

std::string UhidDevice::WaitForNode(int timeoutMs) const {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (DIR* dir = ::opendir("/sys/class/hidraw")) {
            std::string found;
            while (dirent* entry = ::readdir(dir)) {
                const std::string name = entry->d_name;
                if (name.rfind("hidraw", 0) == 0 && NodeHasUniq(name, m_Uniq)) {
                    found = name;
                    break;
                }
            }
            ::closedir(dir);
            struct stat node;
            if (!found.empty() && ::stat(("/dev/" + found).c_str(), &node) == 0) {
                return "/dev/" + found;
            }
        }
        if (std::chrono::steady_clock::now() >= end) return {};
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

}  // namespace sim
