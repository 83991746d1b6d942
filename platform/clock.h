// Time: every fixed pause and every read time-out of the system goes through one clock.
//
// The real clock sleeps and waits in real time. The virtual clock never sleeps: a pause moves
// its time forward at once, and the simulated bus moves it to the arrival of a report or the
// end of a time-out. Both record what was asked for, so tests can check which pause and which
// time-out the code used without waiting for them.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

namespace platform {

// Milliseconds since the clock started; fractions allowed.
using Millis = double;

class Clock {
public:
    virtual ~Clock() = default;

    virtual Millis Now() const = 0;

    // Pauses for ms. Returns false, early, when *abort becomes nonzero (checked at least every
    // kAbortPollMs); true when the whole pause went by.
    bool Sleep(std::uint32_t ms, const std::atomic<int>* abort = nullptr);

    // True for the virtual clock: waits are decided by the simulation, not by real time.
    virtual bool IsVirtual() const = 0;

    // Moves virtual time forward to t (no effect when t is not later, nor on the real clock).
    virtual void AdvanceTo(Millis t) = 0;

    // Every Sleep asked for, in order (ms); for tests.
    std::vector<std::uint32_t> Pauses() const;
    void ClearPauses();

    static constexpr std::uint32_t kAbortPollMs = 10;

protected:
    virtual bool DoSleep(std::uint32_t ms, const std::atomic<int>* abort) = 0;

private:
    mutable std::mutex m_PauseMutex;
    std::vector<std::uint32_t> m_Pauses;
};

class RealClock final : public Clock {
public:
    RealClock();
    Millis Now() const override;
    bool IsVirtual() const override { return false; }
    void AdvanceTo(Millis) override {}

protected:
    bool DoSleep(std::uint32_t ms, const std::atomic<int>* abort) override;

private:
    std::int64_t m_StartNs;
};

class VirtualClock final : public Clock {
public:
    Millis Now() const override;
    bool IsVirtual() const override { return true; }
    void AdvanceTo(Millis t) override;

protected:
    bool DoSleep(std::uint32_t ms, const std::atomic<int>* abort) override;

private:
    mutable std::mutex m_Mutex;
    Millis m_Now = 0;
};

// The clock chosen by main() (or a test); a real clock until one is set.
Clock& GetClock();
void SetClock(Clock* clock);

}  // namespace platform
