#include "programs/report_trace.h"

#include "platform/clock.h"

bool ReportTrace::Open(const std::string& path) {
    m_File = std::fopen(path.c_str(), "w");
    return m_File != nullptr;
}

ReportTrace::~ReportTrace() {
    if (m_File != nullptr) std::fclose(m_File);
}

void ReportTrace::Write(double ms, bool out, const std::uint8_t (&report)[platform::kReportSize]) {
    static const char kDigits[] = "0123456789abcdef";
    char hex[2 * platform::kReportSize + 1];
    for (std::size_t i = 0; i < platform::kReportSize; ++i) {
        hex[2 * i] = kDigits[report[i] >> 4];
        hex[2 * i + 1] = kDigits[report[i] & 15];
    }
    hex[2 * platform::kReportSize] = '\0';
    std::lock_guard<std::mutex> lock(m_Mutex);
    if (m_File != nullptr) std::fprintf(m_File, "%.3f %s %s\n", ms, out ? "OUT" : "IN", hex);
}

void ReportTrace::Flush() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    if (m_File != nullptr) std::fflush(m_File);
}

bool TracingHid::WriteReport(platform::HidHandle handle,
                             const std::uint8_t (&report)[platform::kReportSize]) {
    const bool written = m_Inner.WriteReport(handle, report);
    if (written) m_Trace.Write(platform::GetClock().Now(), true, report);
    return written;
}

std::uint32_t TracingHid::ReadReport(platform::HidHandle handle,
                                     std::uint8_t (&report)[platform::kReportSize],
                                     std::uint32_t timeoutMs) {
    const std::uint32_t result = m_Inner.ReadReport(handle, report, timeoutMs);
    if (result == platform::kWaitCompleted)
        m_Trace.Write(platform::GetClock().Now(), false, report);
    return result;
}
