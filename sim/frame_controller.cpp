#include "sim/frame_controller.h"

#include <algorithm>

#include "frame/command_frame.h"

namespace sim {

namespace {

// One past the last byte of the 32-bit address space; addresses are held in 64 bits so that
// address + count cannot wrap.
constexpr std::uint64_t kAddressSpaceEnd = std::uint64_t{1} << 32;

constexpr std::uint32_t kTypeSmallMap = 0x3009;

std::array<std::uint8_t, 4> Le32Bytes(std::uint32_t value) {
    return {static_cast<std::uint8_t>(value & 0xFFu),
            static_cast<std::uint8_t>((value >> 8) & 0xFFu),
            static_cast<std::uint8_t>((value >> 16) & 0xFFu),
            static_cast<std::uint8_t>((value >> 24) & 0xFFu)};
}

Payload MakeReply(std::uint16_t command, std::span<const std::uint8_t> data) {
    Payload reply{};
    EncodeReply(reply, command, data);
    return reply;
}

}  // namespace

FrameController::FrameController(FrameControllerConfig config) : m_Config(config) {
    if (m_Config.versionWord) {
        ProgramVersionWord(*m_Config.versionWord);
    }
}

std::uint32_t FrameController::AppBaseFor(std::optional<std::uint32_t> deviceType) {
    if (deviceType == kTypeSmallMap) {
        return 0x08003400;
    }
    if (deviceType && IsCrcDeviceTypeCode(*deviceType)) {
        return 0x01018000;
    }
    return 0x08014000;
}

std::uint32_t FrameController::VersionAddressFor(std::optional<std::uint32_t> deviceType) {
    if (deviceType == kTypeSmallMap) {
        return 0x08003434;
    }
    if (deviceType && IsCrcDeviceTypeCode(*deviceType)) {
        return 0x01017040;
    }
    return 0x08014034;
}

void FrameController::OnOutputReport(const Payload& payload, ReportSink& sink) {
    std::optional<Payload> toSend;
    double workMs = 0;  // the flash's time for what this request asks
    bool unplug = false;
    {
        std::lock_guard lock(m_Mutex);
        if (m_Unplugged) {
            return;
        }
        m_Received.push_back(payload);
        const std::optional<RequestFrameView> request = DecodeRequestFrame(payload);
        if (!request) {
            return;
        }
        const std::uint32_t overallIndex = ++m_TotalRequests;
        const std::uint32_t commandIndex = ++m_RequestCounts[request->command];

        if (request->command == CMD_WRITE_DATA && m_UnplugAtDataBlock == commandIndex) {
            m_Unplugged = true;
            m_HeldReply.reset();
            unplug = true;
        } else {
            std::optional<Payload> reply;
            switch (request->command) {
                case CMD_READ_MEMORY: {
                    std::array<std::uint8_t, kMaxBlock> data{};
                    for (std::size_t i = 0; i < request->length; ++i) {
                        data[i] = ReadByteLocked(std::uint64_t{request->address} + i);
                    }
                    reply = MakeReply(CMD_READ_MEMORY, std::span(data).first(request->length));
                    break;
                }
                case CMD_GET_DEVICE_TYPE:
                    if (m_Config.deviceType) {
                        reply = MakeReply(CMD_GET_DEVICE_TYPE, Le32Bytes(*m_Config.deviceType));
                    }
                    break;
                case CMD_PREPARE:
                    EraseLocked(request->address, request->size);
                    workMs = PrepareTime(m_Config.flashTiming, request->size);
                    reply = MakeReply(CMD_PREPARE, {});
                    break;
                case CMD_WRITE_DATA:
                case CMD_WRITE_INFO: {
                    const bool checksCrc =
                        m_Config.deviceType && IsCrcDeviceTypeCode(*m_Config.deviceType);
                    if (checksCrc && !PayloadCrcMatches(*request)) {
                        break;
                    }
                    ProgramLocked(request->address, request->payload);
                    workMs = m_Config.flashTiming.writeMs;
                    reply = MakeReply(request->command, {});
                    break;
                }
                case CMD_FINISH:
                    m_FinishReceived = true;
                    if (!m_IgnoreFinish) {
                        reply = MakeReply(CMD_FINISH, {});
                    }
                    break;
                default:
                    break;
            }
            if (IsDroppedLocked(request->command, overallIndex, commandIndex)) {
                reply.reset();
            }
            if (m_AnswerLate || (m_AnswerLateFrom != 0 && overallIndex >= m_AnswerLateFrom)) {
                toSend = m_HeldReply;
                m_HeldReply = reply;
            } else {
                toSend = reply;
            }
        }
    }
    // The sink may take locks of the bus; calling it outside m_Mutex keeps the lock order one-way.
    if (unplug) {
        sink.Unplug();
    }
    if (toSend) {
        sink.SendInput(*toSend, workMs);
    }
}

void FrameController::ProgramVersionWord(std::uint32_t version) {
    const std::uint32_t address =
        m_Config.versionAddress.value_or(VersionAddressFor(m_Config.deviceType));
    ProgramFlash(address, Le32Bytes(version));
}

void FrameController::ProgramFlash(std::uint32_t address, std::span<const std::uint8_t> bytes) {
    std::lock_guard lock(m_Mutex);
    ProgramLocked(address, bytes);
}

void FrameController::EraseFlash(std::uint32_t address, std::uint32_t size) {
    std::lock_guard lock(m_Mutex);
    EraseLocked(address, size);
}

std::vector<std::uint8_t> FrameController::ReadFlash(std::uint32_t address,
                                                     std::uint32_t count) const {
    std::lock_guard lock(m_Mutex);
    std::vector<std::uint8_t> bytes(count);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = ReadByteLocked(std::uint64_t{address} + i);
    }
    return bytes;
}

std::uint32_t FrameController::RequestCount(std::uint16_t command) const {
    std::lock_guard lock(m_Mutex);
    const auto it = m_RequestCounts.find(command);
    return it == m_RequestCounts.end() ? 0 : it->second;
}

std::uint32_t FrameController::RequestCount() const {
    std::lock_guard lock(m_Mutex);
    return m_TotalRequests;
}

bool FrameController::FinishReceived() const {
    std::lock_guard lock(m_Mutex);
    return m_FinishReceived;
}

std::vector<Payload> FrameController::ReceivedFrames() const {
    std::lock_guard lock(m_Mutex);
    return m_Received;
}

bool FrameController::Unplugged() const {
    std::lock_guard lock(m_Mutex);
    return m_Unplugged;
}

void FrameController::DropRequests(std::uint32_t n, std::uint32_t count) {
    std::lock_guard lock(m_Mutex);
    m_DropRules.push_back({std::nullopt, n, count});
}

void FrameController::DropRequestsOf(std::uint16_t command, std::uint32_t n, std::uint32_t count) {
    std::lock_guard lock(m_Mutex);
    m_DropRules.push_back({command, n, count});
}

void FrameController::SetAnswerLate(bool on) {
    std::lock_guard lock(m_Mutex);
    m_AnswerLate = on;
    m_HeldReply.reset();
}

void FrameController::SetAnswerLateFrom(std::uint32_t n) {
    std::lock_guard lock(m_Mutex);
    m_AnswerLateFrom = n;
}

void FrameController::SetIgnoreFinish(bool on) {
    std::lock_guard lock(m_Mutex);
    m_IgnoreFinish = on;
}

void FrameController::UnplugAtDataBlock(std::uint32_t n) {
    std::lock_guard lock(m_Mutex);
    m_UnplugAtDataBlock = n;
}

void FrameController::ProgramLocked(std::uint64_t address, std::span<const std::uint8_t> bytes) {
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const std::uint64_t at = address + i;
        if (at >= kAddressSpaceEnd) {
            break;
        }
        const auto [page, inserted] =
            m_Pages.try_emplace(static_cast<std::uint32_t>(at / kPageSize));
        if (inserted) {
            page->second.fill(0xFF);
        }
        page->second[at % kPageSize] &= bytes[i];
    }
}

void FrameController::EraseLocked(std::uint64_t address, std::uint64_t size) {
    if (size == 0 || address >= kAddressSpaceEnd) {
        return;
    }
    // An erased page reads exactly like one never touched, so erasing drops it from the map.
    const std::uint64_t last = std::min(address + size, kAddressSpaceEnd) - 1;
    const auto first = m_Pages.lower_bound(static_cast<std::uint32_t>(address / kPageSize));
    const auto end = m_Pages.upper_bound(static_cast<std::uint32_t>(last / kPageSize));
    m_Pages.erase(first, end);
}

std::uint8_t FrameController::ReadByteLocked(std::uint64_t address) const {
    if (address >= kAddressSpaceEnd) {
        return 0xFF;
    }
    const auto page = m_Pages.find(static_cast<std::uint32_t>(address / kPageSize));
    return page == m_Pages.end() ? std::uint8_t{0xFF} : page->second[address % kPageSize];
}

bool FrameController::IsDroppedLocked(std::uint16_t command, std::uint32_t overallIndex,
                                      std::uint32_t commandIndex) const {
    return std::any_of(m_DropRules.begin(), m_DropRules.end(), [&](const DropRule& rule) {
        if (rule.command && *rule.command != command) {
            return false;
        }
        const std::uint64_t position = rule.command ? commandIndex : overallIndex;
        return position >= rule.first && position < std::uint64_t{rule.first} + rule.count;
    });
}

}  // namespace sim
