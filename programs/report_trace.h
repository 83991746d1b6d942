// The trace of every report that crosses the bus: one line each, milliseconds since start,
// OUT (host to controller) or IN, then the 65 report bytes as 130 lowercase hex digits.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

#include "platform/hid_services.h"

class ReportTrace {
public:
    // False when the file cannot be written.
    bool Open(const std::string& path);
    ~ReportTrace();
    void Write(double ms, bool out, const std::uint8_t (&report)[platform::kReportSize]);
    void Flush();

private:
    std::mutex m_Mutex;
    std::FILE* m_File = nullptr;
};

// HID services that write every report they carry to a trace, around the real ones.
class TracingHid final : public platform::HidServices {
public:
    TracingHid(platform::HidServices& inner, ReportTrace& trace) : m_Inner(inner), m_Trace(trace) {}

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
                     const std::uint8_t (&report)[platform::kReportSize]) override;
    std::uint32_t ReadReport(platform::HidHandle handle,
                             std::uint8_t (&report)[platform::kReportSize],
                             std::uint32_t timeoutMs) override;
    std::uintptr_t RegisterNotify(platform::DeviceChangeTarget* target) override {
        return m_Inner.RegisterNotify(target);
    }
    void UnregisterNotify(std::uintptr_t registration) override {
        m_Inner.UnregisterNotify(registration);
    }

private:
    platform::HidServices& m_Inner;
    ReportTrace& m_Trace;
};
