// The controller's side of the message stream: a boot loader in boot mode that answers the
// version query and MSG_START, takes a firmware description, asks for the image one data message
// at a time and adopts the announced version word when the host ends the transfer. Faults can be
// switched on to exercise the host's failure roads.
//
// Each output report holds a count L in payload byte 0 and message bytes 1..L. Data frames may
// arrive cut into several reports; the model joins report bytes until they reach the length the
// frame's header announces (4 + body length). Every input report it sends holds the frame length
// in byte 0, the frame in bytes 1..L, zeros after.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

#include "sim/device_model.h"
#include "stream/message_codec.h"

namespace sim {

struct StreamControllerConfig {
    std::uint32_t version = 137;  // version word of the installed firmware (137 shows as 1.37)
    std::uint8_t firmwareType = 1;
    std::uint8_t hardwareRevision = 1;
    std::uint16_t productCode = 0x0105;
    // Time the flash takes: per started 32 KiB of the size SET_FIRMWARE_INFO announces, and per
    // SET_FIRMWARE_DATA stored; the request that follows goes out once it has passed.
    FlashTiming flashTiming = {};
};

// Faults count chunks from 0: chunk n is the one the (n+1)-th FIRMWARE_DATA_REQ of a transfer
// asks for; chunk 0's request answers SET_FIRMWARE_INFO, chunk n's answers the n-th data message.
// The request that follows the last data message (the one the host answers with SET_FIRMWARE_END)
// counts as a chunk too. When several faults name the same chunk, unplugging wins over silence,
// and silence over a failure report.
struct StreamFaults {
    // In place of the request for this chunk, send failCommand (FIRMWARE_FAIL or FIRMWARE_ERROR)
    // and abandon the transfer: later data messages and SET_FIRMWARE_END are not taken until the
    // next SET_FIRMWARE_INFO.
    std::optional<std::size_t> failAtChunk;
    std::uint8_t failCommand = FIRMWARE_FAIL;
    // From the request for this chunk on, send nothing at all, to any message.
    std::optional<std::size_t> silentFromChunk;
    // Never send anything, from the first report on.
    bool silent = false;
    // Reported in MSG_DEVICE_INFO in place of the configured firmware type.
    std::optional<std::uint8_t> reportedFirmwareType;
    // In place of the request for this chunk, pull the device off the bus; it then takes nothing.
    std::optional<std::size_t> unplugAtChunk;
};

class StreamController : public DeviceModel {
public:
    // MSG_DEVICE_INFO's body: 40 bytes, the last four the description word at frame bytes 40-43.
    static constexpr std::size_t kDeviceInfoBodySize = 40;

    explicit StreamController(const StreamControllerConfig& config = {});

    // Called by the bus on its device thread.
    void OnOutputReport(const Payload& payload, ReportSink& sink) override;

    // Takes effect from the next report. Safe from any thread.
    void SetFaults(const StreamFaults& faults);

    // Observers; safe from any thread, each returns a copy taken under the lock.
    // Data bytes of the current transfer, in the order they arrived (may run past the image).
    std::vector<std::uint8_t> Stored() const;
    // The first announced-size bytes of Stored() (fewer when fewer arrived).
    std::vector<std::uint8_t> StoredImage() const;
    // The description of the latest SET_FIRMWARE_INFO; nullopt before the first one.
    std::optional<FirmwareDescription> Announced() const;
    // True once a SET_FIRMWARE_END arrived since the latest SET_FIRMWARE_INFO (or since power-on),
    // whether or not it completed an update.
    bool EndReceived() const;
    // True when a SET_FIRMWARE_END arrived while the transfer held at least the announced size
    // and had not been abandoned; the announced version is then the controller's own. An END
    // that finds the image short changes nothing but EndReceived().
    bool UpdateComplete() const;
    std::uint32_t CurrentVersion() const;
    std::size_t DataRequestCount() const;  // FIRMWARE_DATA_REQ sent in the current transfer
    std::size_t DataMessageCount() const;  // data messages taken in the current transfer
    std::size_t ReadFailedCount() const;   // MSG_READ_FAILED received, ever
    bool Unplugged() const;

private:
    // What one report makes the model do, carried out after the lock is released so that the
    // sink may call back into the observers.
    struct Actions {
        std::vector<Payload> replies;
        double delayMs = 0;  // the flash's time for this report, before any reply
        bool unplug = false;
    };

    void HandleFrame(const DecodedFrame& frame, Actions& actions);
    void HandleCommand(const DecodedCommand& command, Actions& actions);
    // Sends the request for the next chunk, or the fault that stands in its place.
    void RequestNextChunk(Actions& actions);
    void Reply(std::span<const std::uint8_t> frame, Actions& actions) const;
    void ReplyCommand(std::uint8_t command, std::span<const std::uint8_t> payload,
                      Actions& actions) const;

    mutable std::mutex m_Mutex;
    const StreamControllerConfig m_Config;
    StreamFaults m_Faults;
    std::uint32_t m_Version;
    std::vector<std::uint8_t> m_Joining;  // report bytes of a frame not yet whole
    std::optional<FirmwareDescription> m_Announced;
    std::vector<std::uint8_t> m_Stored;
    bool m_TransferAbandoned = false;
    bool m_EndReceived = false;
    bool m_UpdateComplete = false;
    bool m_Silent = false;
    bool m_Unplugged = false;
    std::size_t m_DataRequests = 0;
    std::size_t m_DataMessages = 0;
    std::size_t m_ReadFailed = 0;
};

}  // namespace sim
