#include "bench/micro.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <span>
#include <thread>

#include "frame/command_frame.h"
#include "image/firmware_writer.h"
#include "platform/file.h"
#include "stream/message_codec.h"

namespace bench {

namespace {

// Keeps the compiler from dropping a result it can see is unused.
template <typename T>
void Keep(const T& value) {
    asm volatile("" : : "r,m"(value) : "memory");
}

// Nanoseconds per call of op: batches of calls until a repetition has lasted 50 ms, five
// repetitions, the median.
template <typename Op>
double NsPerOp(Op op) {
    using Clock = std::chrono::steady_clock;
    std::array<double, 5> samples{};
    for (double& sample : samples) {
        std::uint64_t calls = 0;
        std::uint64_t batch = 1;  // doubled while a batch is short, so slow ops still end soon
        const auto start = Clock::now();
        auto now = start;
        do {
            const auto batchStart = now;
            for (std::uint64_t i = 0; i < batch; ++i) op();
            calls += batch;
            now = Clock::now();
            if (now - batchStart < std::chrono::milliseconds(1)) batch *= 2;
        } while (now - start < std::chrono::milliseconds(50));
        sample = std::chrono::duration<double, std::nano>(now - start).count() /
                 static_cast<double>(calls);
    }
    std::sort(samples.begin(), samples.end());
    return samples[samples.size() / 2];
}

}  // namespace

std::vector<MicroResult> RunMicroBenchmarks() {
    std::vector<MicroResult> results;
    const std::vector<std::uint8_t> image = PatternImage(1 << 20, 42);

    std::size_t at = 0;
    results.push_back({"CRC-16/MODBUS of a 46-byte block", NsPerOp([&] {
                           Keep(Crc16Modbus(image.data() + at, kMaxBlock));
                           at = (at + kMaxBlock) % (image.size() - kMaxBlock);
                       }),
                       kMaxBlock});
    results.push_back({"CRC-16/MODBUS of 1 MiB", NsPerOp([&] {
                           Keep(Crc16Modbus(image.data(), static_cast<std::int32_t>(image.size())));
                       }),
                       static_cast<double>(image.size())});

    std::array<std::uint8_t, kCommandFrameSize> frame{};
    at = 0;
    results.push_back({"command frame: build a 46-byte write with CRC", NsPerOp([&] {
                           Keep(EncodeRequestFrame(
                               frame, std::span(image.data() + at, kMaxBlock), kMaxBlock,
                               0x01018000u + static_cast<std::uint32_t>(at),
                               static_cast<std::uint32_t>(image.size()), CMD_WRITE_DATA, true));
                           Keep(frame);
                           at = (at + kMaxBlock) % (image.size() - kMaxBlock);
                       }),
                       0});

    std::array<std::uint8_t, kFrameBufferSize> message{};
    std::array<std::uint8_t, kReportMessageSize> report{};
    at = 0;
    results.push_back({"message stream: build a 32-byte data message and its report", NsPerOp([&] {
                           const std::size_t length = BuildCommandFrame(
                               SET_FIRMWARE_DATA, std::span(image.data() + at, kFirmwareChunkSize),
                               message);
                           for (const std::span<const std::uint8_t> piece :
                                CutIntoPieces(std::span(message.data(), length))) {
                               Keep(ComposeReportMessage(piece, report));
                           }
                           Keep(report);
                           at = (at + kFirmwareChunkSize) % (image.size() - kFirmwareChunkSize);
                       }),
                       0});

    // The file reads as the flows make them, on a 1 MiB file in the page cache.
    char path[] = "/tmp/zentrel-bench-read-XXXXXX";
    const int fd = ::mkstemp(path);
    if (fd >= 0) {
        ::close(fd);
        WriteFileBytes(path, image);
        platform::File file;
        if (file.Open(path)) {
            std::uint8_t buffer[128];
            std::int64_t offset = 0;
            results.push_back({"file: seek and read one 46-byte block", NsPerOp([&] {
                                   Keep(file.Seek(28 + offset));
                                   Keep(file.Read(buffer, kMaxBlock));
                                   offset = (offset + kMaxBlock) % (1 << 19);
                               }),
                               kMaxBlock});
            file.Seek(28);
            offset = 0;
            results.push_back({"file: read the next 32-byte chunk", NsPerOp([&] {
                                   if (offset >= (1 << 19)) {
                                       file.Seek(28);
                                       offset = 0;
                                   }
                                   Keep(file.Read(buffer, kFirmwareChunkSize));
                                   offset += kFirmwareChunkSize;
                               }),
                               kFirmwareChunkSize});
        }
        ::unlink(path);
    }
    return results;
}

WakeLatency MeasureWakeLatency(std::size_t samples) {
    using Clock = std::chrono::steady_clock;
    std::mutex mutex;
    std::condition_variable changed;
    std::uint64_t posted = 0, seen = 0;
    Clock::time_point notifiedAt;
    std::vector<double> latencies;
    latencies.reserve(samples);
    std::thread waiter([&] {
        std::unique_lock<std::mutex> lock(mutex);
        while (seen < samples) {
            changed.wait(lock, [&] { return posted > seen; });
            latencies.push_back(
                std::chrono::duration<double, std::micro>(Clock::now() - notifiedAt).count());
            ++seen;
            changed.notify_all();
        }
    });
    for (std::size_t i = 0; i < samples; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        {
            std::lock_guard<std::mutex> lock(mutex);
            notifiedAt = Clock::now();
            ++posted;
        }
        changed.notify_all();
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return seen == posted; });
    }
    waiter.join();
    std::sort(latencies.begin(), latencies.end());
    WakeLatency w;
    w.count = latencies.size();
    if (!latencies.empty()) {
        const auto at = [&](double q) {
            const std::size_t i = static_cast<std::size_t>(q * static_cast<double>(w.count));
            return latencies[std::min(i, w.count - 1)];
        };
        w.p50 = at(0.50);
        w.p99 = at(0.99);
        w.max = latencies.back();
    }
    return w;
}

}  // namespace bench
