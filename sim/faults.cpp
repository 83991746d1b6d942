#include "sim/faults.h"

#include <cstdlib>

#include "sim/frame_controller.h"
#include "sim/stream_controller.h"
#include "stream/message_codec.h"

namespace sim {

const char* const kFaultGrammar =
    "  FAULT is one of (N counts from 1):\n"
    "    drop:N          the controller's N-th report is lost\n"
    "    delay:N:MS      its N-th report arrives MS milliseconds late\n"
    "    dup:N           its N-th report arrives twice\n"
    "    garbage:N       its N-th report is random bytes\n"
    "    lead:N          its N-th report starts with a wrong lead byte\n"
    "    silent:N        it answers nothing from the host's N-th report on\n"
    "    write-fail:N    the bus refuses the host's N-th write\n"
    "    read-fail:N     the host's N-th read ends with an error\n"
    "    unplug:N        it is pulled out at chunk N (message stream) or data block N (frames)\n"
    "    fail:N          message stream: FIRMWARE_FAIL in place of the request for chunk N\n"
    "    error:N         message stream: FIRMWARE_ERROR in place of the request for chunk N\n"
    "    ignore-finish   command frames: CMD_FINISH is not acknowledged\n"
    "    late:N          command frames: from request N on, each answer is the previous one's\n";

namespace {

struct Name {
    const char* text;
    FaultKind kind;
    int numbers;  // how many numbers follow the name
};

constexpr Name kNames[] = {
    {"drop", FaultKind::kDropReply, 1},       {"delay", FaultKind::kDelayReply, 2},
    {"dup", FaultKind::kDuplicateReply, 1},   {"garbage", FaultKind::kGarbageReply, 1},
    {"lead", FaultKind::kWrongLead, 1},       {"silent", FaultKind::kSilentFrom, 1},
    {"write-fail", FaultKind::kFailWrite, 1}, {"read-fail", FaultKind::kFailRead, 1},
    {"unplug", FaultKind::kUnplugAt, 1},      {"fail", FaultKind::kFailAt, 1},
    {"error", FaultKind::kErrorAt, 1},        {"ignore-finish", FaultKind::kIgnoreFinish, 0},
    {"late", FaultKind::kAnswerLate, 1},
};

bool Number(const std::string& text, std::uint32_t* value) {
    if (text.empty() || text.size() > 9) return false;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
    }
    *value = static_cast<std::uint32_t>(std::strtoul(text.c_str(), nullptr, 10));
    return true;
}

}  // namespace

bool ParseFault(const std::string& text, Fault* fault, std::string* error) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t colon = text.find(':', start);
        parts.push_back(text.substr(start, colon - start));
        if (colon == std::string::npos) break;
        start = colon + 1;
    }
    for (const Name& name : kNames) {
        if (parts[0] != name.text) continue;
        if (static_cast<int>(parts.size()) != 1 + name.numbers) break;
        Fault f{name.kind, 0, 0};
        std::uint32_t delay = 0;
        if (name.numbers >= 1 && (!Number(parts[1], &f.n) || f.n == 0)) break;
        if (name.numbers == 2) {
            if (!Number(parts[2], &delay)) break;
            f.delayMs = delay;
        }
        *fault = f;
        return true;
    }
    *error = "not a fault: '" + text + "'";
    return false;
}

// Carries the inner model's reports to the bus, changed as the faults say.
class FaultyDevice::Filter final : public ReportSink {
public:
    Filter(FaultyDevice& device, ReportSink& sink) : m_Device(device), m_Sink(sink) {}

    void SendInput(const Payload& payload, double delayMs) override {
        Payload out = payload;
        double delay = delayMs;
        int copies = 1;
        {
            std::lock_guard<std::mutex> lock(m_Device.m_Mutex);
            const std::uint32_t n = ++m_Device.m_Replies;
            for (const Fault& f : m_Device.m_Faults) {
                if (f.n != n) continue;
                switch (f.kind) {
                    case FaultKind::kDropReply:
                        copies = 0;
                        break;
                    case FaultKind::kDelayReply:
                        delay += f.delayMs;
                        break;
                    case FaultKind::kDuplicateReply:
                        copies = 2;
                        break;
                    case FaultKind::kGarbageReply:
                        for (auto& b : out) b = static_cast<std::uint8_t>(m_Device.m_Random());
                        break;
                    case FaultKind::kWrongLead:
                        out[m_Device.m_LeadOffset] ^= 0x5A;
                        break;
                    default:
                        break;
                }
            }
        }
        for (int i = 0; i < copies; ++i) m_Sink.SendInput(out, delay);
    }
    void Unplug() override { m_Sink.Unplug(); }

private:
    FaultyDevice& m_Device;
    ReportSink& m_Sink;
};

FaultyDevice::FaultyDevice(std::shared_ptr<DeviceModel> inner, std::size_t leadOffset,
                           std::uint32_t seed)
    : m_Inner(std::move(inner)), m_LeadOffset(leadOffset), m_Random(seed) {}

void FaultyDevice::Add(const Fault& fault) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Faults.push_back(fault);
}

void FaultyDevice::OnOutputReport(const Payload& payload, ReportSink& sink) {
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        const std::uint32_t n = ++m_Requests;
        for (const Fault& f : m_Faults) {
            if (f.kind == FaultKind::kSilentFrom && n >= f.n) return;
        }
    }
    Filter filter(*this, sink);
    m_Inner->OnOutputReport(payload, filter);
}

void ApplyFaults(const std::vector<Fault>& faults, FaultyDevice& device, SimulatedBus& bus,
                 StreamController* stream, FrameController* frame) {
    StreamFaults streamFaults;
    for (const Fault& f : faults) {
        switch (f.kind) {
            case FaultKind::kFailWrite:
                bus.Faults().failWriteAt = f.n;
                break;
            case FaultKind::kFailRead:
                bus.Faults().failReadAt = f.n;
                break;
            case FaultKind::kUnplugAt:
                // Chunks of the message stream count from 0, data blocks from 1.
                if (stream) streamFaults.unplugAtChunk = f.n - 1;
                if (frame) frame->UnplugAtDataBlock(f.n);
                break;
            case FaultKind::kFailAt:
            case FaultKind::kErrorAt:
                streamFaults.failAtChunk = f.n - 1;
                streamFaults.failCommand =
                    f.kind == FaultKind::kFailAt ? FIRMWARE_FAIL : FIRMWARE_ERROR;
                break;
            case FaultKind::kIgnoreFinish:
                if (frame) frame->SetIgnoreFinish(true);
                break;
            case FaultKind::kAnswerLate:
                if (frame) frame->SetAnswerLateFrom(f.n);
                break;
            default:
                device.Add(f);
                break;
        }
    }
    if (stream) stream->SetFaults(streamFaults);
}

}  // namespace sim
