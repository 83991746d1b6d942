#include "platform/clock.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace platform {

namespace {

std::int64_t SteadyNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool Aborted(const std::atomic<int>* abort) {
    return abort != nullptr && abort->load() != 0;
}

RealClock g_DefaultClock;
std::atomic<Clock*> g_Clock{nullptr};

}  // namespace

bool Clock::Sleep(std::uint32_t ms, const std::atomic<int>* abort) {
    {
        std::lock_guard<std::mutex> lock(m_PauseMutex);
        m_Pauses.push_back(ms);
    }
    return DoSleep(ms, abort);
}

std::vector<std::uint32_t> Clock::Pauses() const {
    std::lock_guard<std::mutex> lock(m_PauseMutex);
    return m_Pauses;
}

void Clock::ClearPauses() {
    std::lock_guard<std::mutex> lock(m_PauseMutex);
    m_Pauses.clear();
}

RealClock::RealClock() : m_StartNs(SteadyNs()) {}

Millis RealClock::Now() const {
    return static_cast<double>(SteadyNs() - m_StartNs) / 1e6;
}

bool RealClock::DoSleep(std::uint32_t ms, const std::atomic<int>* abort) {
    const Millis end = Now() + ms;
    for (;;) {
        if (Aborted(abort)) return false;
        const Millis left = end - Now();
        if (left <= 0) return true;
        const Millis slice = std::min<Millis>(left, kAbortPollMs);
        std::this_thread::sleep_for(
            std::chrono::microseconds(static_cast<std::int64_t>(slice * 1000)));
    }
}

Millis VirtualClock::Now() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Now;
}

void VirtualClock::AdvanceTo(Millis t) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Now = std::max(m_Now, t);
}

bool VirtualClock::DoSleep(std::uint32_t ms, const std::atomic<int>* abort) {
    if (Aborted(abort)) return false;
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Now += ms;
    return true;
}

Clock& GetClock() {
    Clock* clock = g_Clock.load();
    return clock != nullptr ? *clock : g_DefaultClock;
}

void SetClock(Clock* clock) {
    g_Clock.store(clock);
}

}  // namespace platform
