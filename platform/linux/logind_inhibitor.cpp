#include "platform/linux/logind_inhibitor.h"

#include <fcntl.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include "platform/debug.h"

namespace platform {

LogindInhibitor::~LogindInhibitor() {
    Release();
}

bool LogindInhibitor::Acquire(const std::string& who, const std::string& why) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    if (m_Fd >= 0) return true;
    sd_bus* bus = nullptr;
    if (sd_bus_open_system(&bus) < 0) return false;  // no system bus: nothing to ask
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    int fd = -1;
    const int r =
        sd_bus_call_method(bus, "org.freedesktop.login1", "/org/freedesktop/login1",
                           "org.freedesktop.login1.Manager", "Inhibit", &error, &reply, "ssss",
                           "sleep:handle-lid-switch", who.c_str(), why.c_str(), "block");
    if (r >= 0 && sd_bus_message_read(reply, "h", &fd) >= 0 && fd >= 0) {
        // The descriptor belongs to the reply; keep a copy of our own.
        m_Fd = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    } else if (r < 0) {
        DebugPrintf("no sleep inhibitor: %s\n",
                    error.message ? error.message : "logind unavailable");
    }
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
    sd_bus_flush_close_unref(bus);
    return m_Fd >= 0;
}

void LogindInhibitor::Release() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    if (m_Fd >= 0) ::close(m_Fd);
    m_Fd = -1;
}

}  // namespace platform
