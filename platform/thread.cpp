#include "platform/thread.h"

#include <atomic>
#include <system_error>

namespace platform {

namespace {
std::atomic<int> g_FailStarts{0};
}

Thread::~Thread() {
    Join();
}

bool Thread::Start(std::function<void()> fn) {
    Join();
    if (g_FailStarts.load() > 0) {
        g_FailStarts.fetch_sub(1);
        return false;
    }
    try {
        m_Thread = std::thread(std::move(fn));
    } catch (const std::system_error&) {
        return false;  // out of threads or memory: the caller reports it
    }
    return true;
}

void Thread::Join() {
    if (m_Thread.joinable() && m_Thread.get_id() != std::this_thread::get_id()) m_Thread.join();
}

void Thread::FailNextStarts(int count) {
    g_FailStarts.store(count);
}

}  // namespace platform
