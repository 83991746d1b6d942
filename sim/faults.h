// Faults of a simulated controller and of the bus, as tests and `zentrel-update-sim --fault`
// name them. A FaultyDevice wraps any controller model and changes what it sends; faults that
// only a protocol's model can make (a failure report at a chunk, an unplug at a block) and the
// bus's failing writes and reads are applied by ApplyFaults.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "sim/bus.h"
#include "sim/device_model.h"

namespace sim {

class StreamController;
class FrameController;

enum class FaultKind {
    kDropReply,       // drop:N        the N-th report the controller sends is lost
    kDelayReply,      // delay:N:MS    the N-th report arrives MS later
    kDuplicateReply,  // dup:N         the N-th report arrives twice
    kGarbageReply,    // garbage:N     the N-th report is random bytes
    kWrongLead,       // lead:N        the N-th report starts with a wrong lead byte
    kSilentFrom,      // silent:N      nothing is answered from the N-th request on
    kFailWrite,       // write-fail:N  the bus refuses the host's N-th write
    kFailRead,        // read-fail:N   the host's N-th read ends with an error
    kUnplugAt,        // unplug:N      pulled out at chunk (message stream) or block (frames) N
    kFailAt,          // fail:N        FIRMWARE_FAIL in place of the request for chunk N
    kErrorAt,         // error:N       FIRMWARE_ERROR in place of the request for chunk N
    kIgnoreFinish,    // ignore-finish CMD_FINISH is not acknowledged
    kAnswerLate,      // late:N        from the N-th request on, each answer is the previous one's
};

struct Fault {
    FaultKind kind;
    std::uint32_t n = 0;  // counted from 1 (chunks and blocks as the models count them)
    double delayMs = 0;   // kDelayReply
};

// "drop:3", "delay:2:300", "ignore-finish", ...; false with a message for anything else.
bool ParseFault(const std::string& text, Fault* fault, std::string* error);
// The grammar, for --help.
extern const char* const kFaultGrammar;

// Wraps a model and changes the reports it sends, counted over the model's life.
class FaultyDevice final : public DeviceModel {
public:
    // leadOffset: where the lead byte of a reply stands in its payload (1 for the message
    // stream, behind the count byte; 0 for command frames).
    FaultyDevice(std::shared_ptr<DeviceModel> inner, std::size_t leadOffset,
                 std::uint32_t seed = 1);
    void Add(const Fault& fault);
    void OnOutputReport(const Payload& payload, ReportSink& sink) override;

private:
    class Filter;
    std::shared_ptr<DeviceModel> m_Inner;
    std::size_t m_LeadOffset;
    std::mutex m_Mutex;
    std::vector<Fault> m_Faults;
    std::uint32_t m_Requests = 0;
    std::uint32_t m_Replies = 0;
    std::mt19937 m_Random;
};

// Puts the faults where they belong: on the wrapper, on the model (stream or frame, whichever
// is given) or on the bus.
void ApplyFaults(const std::vector<Fault>& faults, FaultyDevice& device, SimulatedBus& bus,
                 StreamController* stream, FrameController* frame);

}  // namespace sim
