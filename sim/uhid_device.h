// UhidDevice: a simulated controller (sim::DeviceModel) exposed as a kernel HID device through
// /dev/uhid, so that the real hidraw/udev backend can be tested against the kernel's HID stack
// on a machine without a controller.
//
// The device is created on bus USB with the given vendor and product id and a vendor-defined
// report descriptor: one 64-byte input and one 64-byte output report, no report ids, as the
// controller has. The kernel then makes a hidraw node for it and announces it through udev.
//
// uhid and hidraw both drop reports without a word when a side stops reading, so the adapter
// reads /dev/uhid on a thread of its own, without pause, and the model runs on that thread.
// Input reports the model sends with a delay go out from a second thread when they are due.
//
// Linux only; opening /dev/uhid needs root (or access to the node).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "sim/bus.h"
#include "sim/device_model.h"

namespace sim {

class UhidDevice {
public:
    // Creates the kernel device at once; Created() tells whether that worked, Error() why not.
    // `name` is the device's name as the kernel shows it.
    UhidDevice(const DeviceIds& ids, std::shared_ptr<DeviceModel> model,
               std::string name = "Zentrel simulated controller");
    // Destroys the kernel device (as Unplug) and ends both threads.
    ~UhidDevice();
    UhidDevice(const UhidDevice&) = delete;
    UhidDevice& operator=(const UhidDevice&) = delete;

    bool Created() const { return m_Created; }
    const std::string& Error() const { return m_Error; }

    // Pulls the device out: the kernel removes it (and its hidraw node), reads on that node end
    // with an error. No effect once done. Safe from any thread, the model's included.
    void Unplug();
    bool Plugged() const;

    // Sends one input report to the host now, as if the model had sent it. False when the
    // device is gone or the kernel refused the report.
    bool SendInput(const Payload& payload);

    // The unique string the device carries (HID_UNIQ), different for every device of a process.
    const std::string& Uniq() const { return m_Uniq; }
    // Waits (real time) at most timeoutMs for the kernel's hidraw node of this device and
    // returns its path ("/dev/hidrawN"); "" when none appeared.
    std::string WaitForNode(int timeoutMs) const;

    // Output reports handed to the model so far.
    std::size_t OutputReportCount() const { return m_OutputReports.load(); }

private:
    class Sink;
    struct Delayed {
        std::chrono::steady_clock::time_point due;
        Payload payload;
    };

    void ReadLoop();
    void DelayLoop();
    void HandleEvent(const void* event, std::size_t size);
    void Queue(const Payload& payload, double delayMs);
    // Writes one event to /dev/uhid; false when the kernel refused it.
    bool WriteEvent(const void* event, std::size_t size);

    const DeviceIds m_Ids;
    const std::shared_ptr<DeviceModel> m_Model;
    std::string m_Uniq;
    int m_Fd = -1;
    int m_StopFd = -1;  // eventfd that ends the read loop
    bool m_Created = false;
    std::string m_Error;
    std::atomic<std::size_t> m_OutputReports{0};

    mutable std::mutex m_Mutex;  // the plugged state and every write to m_Fd
    bool m_Plugged = false;

    std::mutex m_DelayMutex;
    std::condition_variable m_DelayCv;
    std::deque<Delayed> m_DelayQueue;  // in order of due time
    bool m_Stopping = false;

    std::thread m_Reader;
    std::thread m_DelaySender;
};

}  // namespace sim
