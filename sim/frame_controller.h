// FrameController: the controller's side of the command-frame protocol, with a flash memory.
//
// Every output report payload is one request frame from payload byte 0. A request the model
// accepts is answered with one input report: the acknowledgement layout (byte 0 = 0x00,
// byte 1 = 0x05, bytes 2-3 = 0, bytes 4-5 = the command answered) with, from byte 18 on, the
// bytes at the address for CMD_READ_MEMORY (the length word's count, at most 46) and the device
// type code (little-endian 32-bit) for CMD_GET_DEVICE_TYPE. Frames with a bad marker, a length
// word above 46 or an unknown command get no answer.
//
// Flash model: a sparse memory of 2 KiB pages over the 32-bit address space, as NOR flash.
//   - Erased bytes, and bytes never touched, read 0xFF.
//   - CMD_PREPARE (size, address) erases every page that [address, address + size) touches,
//     whole; a size of 0 touches none.
//   - CMD_WRITE_DATA and CMD_WRITE_INFO store their L payload bytes at the address, but a write
//     can only clear bits: each byte becomes old & new. Writing into memory that was programmed
//     and not erased since therefore does not leave the written bytes there. The host's version
//     word, for one, lies inside the image area in some address maps and is written over image
//     bytes without an erase of its own.
//   - For a device type in CrcDeviceTypes a write frame whose CRC word is not the CRC-16/MODBUS
//     of its payload is dropped: nothing is stored and nothing is answered. Other types ignore
//     the CRC word.
//   Bytes past address 0xFFFFFFFF are dropped; the address space does not wrap.
//
// Threads: OnOutputReport runs on the bus's device thread; every other member may be called from
// any thread. All state sits behind one mutex, which is not held while the sink is called.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "sim/device_model.h"

namespace sim {

struct FrameControllerConfig {
    // The code answered to CMD_GET_DEVICE_TYPE; nullopt: that query is never answered.
    std::optional<std::uint32_t> deviceType = std::nullopt;
    // Programmed at construction at versionAddress; nullopt: the version word reads as erased
    // (0xFFFFFFFF, no application firmware).
    std::optional<std::uint32_t> versionWord = std::nullopt;
    // Where versionWord goes; nullopt: VersionAddressFor(deviceType), where a host reads it.
    std::optional<std::uint32_t> versionAddress = std::nullopt;
    // Time the flash takes: per started 32 KiB of a CMD_PREPARE region, and per CMD_WRITE_DATA
    // or CMD_WRITE_INFO block stored; the acknowledgement goes out once it has passed.
    FlashTiming flashTiming = {};
};

class FrameController : public DeviceModel {
public:
    static constexpr std::uint32_t kPageSize = 2048;  // bytes per erase page

    explicit FrameController(FrameControllerConfig config = {});

    void OnOutputReport(const Payload& payload, ReportSink& sink) override;

    // Where a host keeps the image and the version word for a controller that answers the type
    // query with deviceType (nullopt: one that does not answer): 0x08003400 / 0x08003434 for
    // 0x3009, 0x01018000 / 0x01017040 for CrcDeviceTypes, else 0x08014000 / 0x08014034.
    static std::uint32_t AppBaseFor(std::optional<std::uint32_t> deviceType);
    static std::uint32_t VersionAddressFor(std::optional<std::uint32_t> deviceType);

    // --- Test setup: flash operations outside the protocol, same semantics as the commands ---
    // Programs the version word (little-endian) where a host reads it: the configured
    // versionAddress, or VersionAddressFor(configured type).
    void ProgramVersionWord(std::uint32_t version);
    // Programs bytes at address (bits can only be cleared).
    void ProgramFlash(std::uint32_t address, std::span<const std::uint8_t> bytes);
    // Erases every page [address, address + size) touches.
    void EraseFlash(std::uint32_t address, std::uint32_t size);

    // --- Observation ---
    // count bytes of flash from address; bytes past 0xFFFFFFFF read 0xFF.
    std::vector<std::uint8_t> ReadFlash(std::uint32_t address, std::uint32_t count) const;
    // Requests received with that command code (answered or not, known or not), and of all.
    std::uint32_t RequestCount(std::uint16_t command) const;
    std::uint32_t RequestCount() const;
    bool FinishReceived() const;
    // Every output report payload received, in order, including those that were not answered.
    std::vector<Payload> ReceivedFrames() const;
    bool Unplugged() const;

    // --- Faults ---
    // Requests are the reports that decode as request frames, counted from 1 in the order they
    // arrive; a report that does not decode is kept in ReceivedFrames but counts nowhere.
    // Leaves count requests unanswered from the n-th on (n-th request of any command, or the
    // n-th request of command). Such a request is still carried out: only its reply is lost.
    // Several calls add up.
    void DropRequests(std::uint32_t n, std::uint32_t count = 1);
    void DropRequestsOf(std::uint16_t command, std::uint32_t n, std::uint32_t count = 1);
    // While on, every request is answered with the reply earned by the request before it (an
    // acknowledgement of the previous command, with that request's data); the current reply is
    // held for the next request. A request that earned no reply leaves nothing to send.
    // Switching it off discards the held reply.
    void SetAnswerLate(bool on);
    // Answers late (as SetAnswerLate) from the n-th request on; 0: never.
    void SetAnswerLateFrom(std::uint32_t n);
    // While on, CMD_FINISH is recorded but not acknowledged.
    void SetIgnoreFinish(bool on);
    // When the n-th CMD_WRITE_DATA request arrives the controller is pulled off the bus
    // (sink.Unplug()): that block is neither stored nor answered, and every later report is
    // ignored.
    void UnplugAtDataBlock(std::uint32_t n);

private:
    using Page = std::array<std::uint8_t, kPageSize>;

    struct DropRule {
        std::optional<std::uint16_t> command;  // nullopt: requests of any command
        std::uint32_t first;                   // 1-based position among the matching requests
        std::uint32_t count;
    };

    // All below run with m_Mutex held.
    void ProgramLocked(std::uint64_t address, std::span<const std::uint8_t> bytes);
    void EraseLocked(std::uint64_t address, std::uint64_t size);
    std::uint8_t ReadByteLocked(std::uint64_t address) const;
    bool IsDroppedLocked(std::uint16_t command, std::uint32_t overallIndex,
                         std::uint32_t commandIndex) const;

    const FrameControllerConfig m_Config;

    mutable std::mutex m_Mutex;
    std::map<std::uint32_t, Page> m_Pages;  // by page number (address / kPageSize)
    std::map<std::uint16_t, std::uint32_t> m_RequestCounts;
    std::uint32_t m_TotalRequests = 0;
    std::vector<Payload> m_Received;
    bool m_FinishReceived = false;
    bool m_Unplugged = false;
    std::vector<DropRule> m_DropRules;
    bool m_AnswerLate = false;
    std::uint32_t m_AnswerLateFrom = 0;
    std::optional<Payload> m_HeldReply;
    bool m_IgnoreFinish = false;
    std::optional<std::uint32_t> m_UnplugAtDataBlock;
};

}  // namespace sim
