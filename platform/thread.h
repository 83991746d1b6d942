// Threads: a worker started with a start function.
#pragma once

#include <functional>
#include <thread>

namespace platform {

class Thread {
public:
    Thread() = default;
    ~Thread();
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    // Starts fn on a new thread with the default stack size. False when no thread could be
    // started; nothing runs then.
    bool Start(std::function<void()> fn);
    bool Joinable() const { return m_Thread.joinable(); }
    void Join();

    // Tests make the next starts fail.
    static void FailNextStarts(int count);

private:
    std::thread m_Thread;
};

}  // namespace platform
