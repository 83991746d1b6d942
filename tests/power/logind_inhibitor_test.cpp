// The sleep inhibitor against a mock of systemd-logind on a private bus: taken while an update
// runs, released when its worker ends, and an update without logind runs as before.
#include "platform/linux/logind_inhibitor.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "sim/sample_firmware.h"
#include "sim/stream_controller.h"
#include "support/app_harness.h"

namespace {

struct Inhibitor {
    std::string what, who, why, mode;
};

// The locks logind holds now; nullopt when it cannot be asked.
std::optional<std::vector<Inhibitor>> ListInhibitors() {
    sd_bus* bus = nullptr;
    if (sd_bus_open_system(&bus) < 0) return std::nullopt;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    std::optional<std::vector<Inhibitor>> out;
    if (sd_bus_call_method(bus, "org.freedesktop.login1", "/org/freedesktop/login1",
                           "org.freedesktop.login1.Manager", "ListInhibitors", &error, &reply,
                           "") >= 0 &&
        sd_bus_message_enter_container(reply, 'a', "(ssssuu)") >= 0) {
        out.emplace();
        const char *what, *who, *why, *mode;
        std::uint32_t uid, pid;
        while (sd_bus_message_read(reply, "(ssssuu)", &what, &who, &why, &mode, &uid, &pid) > 0) {
            out->push_back({what, who, why, mode});
        }
    }
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
    sd_bus_flush_close_unref(bus);
    return out;
}

// A private bus with the logind template of python3-dbusmock on it, as the system bus.
class MockLogind {
public:
    bool Start() {
        if (::access("/usr/bin/dbus-daemon", X_OK) != 0 ||
            std::system("/usr/bin/python3 -c 'import dbusmock' 2>/dev/null") != 0) {
            return false;
        }
        FILE* daemon =
            ::popen("/usr/bin/dbus-daemon --session --fork --print-address=1 --print-pid=1", "r");
        if (daemon == nullptr) return false;
        char address[512] = {}, pid[32] = {};
        const bool read =
            std::fgets(address, sizeof address, daemon) && std::fgets(pid, sizeof pid, daemon);
        ::pclose(daemon);
        if (!read) return false;
        address[std::strcspn(address, "\n")] = '\0';
        m_DaemonPid = std::atoi(pid);
        ::setenv("DBUS_SYSTEM_BUS_ADDRESS", address, 1);
        m_MockPid = ::fork();
        if (m_MockPid == 0) {
            ::execl("/usr/bin/python3", "python3", "-m", "dbusmock", "--template", "logind",
                    nullptr);
            ::_exit(127);
        }
        for (int i = 0; i < 100; ++i) {  // until the mock has taken its name (at most 10 s)
            if (ListInhibitors()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return false;
    }
    ~MockLogind() {
        if (m_MockPid > 0) {
            ::kill(m_MockPid, SIGTERM);
            ::waitpid(m_MockPid, nullptr, 0);
        }
        if (m_DaemonPid > 0) ::kill(m_DaemonPid, SIGTERM);
        ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    }

private:
    pid_t m_MockPid = -1;
    pid_t m_DaemonPid = -1;
};

TEST(LogindInhibitor, HeldWhileTheUpdateRunsAndReleasedAtItsEnd) {
    MockLogind logind;
    if (!logind.Start()) GTEST_SKIP() << "no dbus-daemon or python3-dbusmock";
    platform::LogindInhibitor inhibitor;
    platform::SetSleepInhibitor(&inhibitor);

    test::AppHarness h;
    auto controller = std::make_shared<sim::StreamController>();
    h.bus.Plug(test::kStreamIds, controller, {}, false);
    h.firmwarePath = h.TempFile("fw.dat", sim::SampleStreamFile(500, 138));
    std::optional<std::vector<Inhibitor>> during;
    h.toolkit.SetBoxScript([&](const platform::BoxRequest& box) -> std::optional<int> {
        if ((box.type & platform::kMbOkCancel) != 0) during = ListInhibitors();
        return platform::kIdOk;
    });
    h.Start();
    ASSERT_EQ(ListInhibitors()->size(), 0u);
    ASSERT_TRUE(h.RunUpdate());
    EXPECT_EQ(h.Dlg().LastOutcome(), UpdateOutcome::kSucceeded);

    ASSERT_TRUE(during.has_value());
    ASSERT_EQ(during->size(), 1u);
    EXPECT_EQ((*during)[0].what, "sleep:handle-lid-switch");
    EXPECT_EQ((*during)[0].who, "Zentrel Update v2.31");
    EXPECT_EQ((*during)[0].mode, "block");
    // logind notices the closed descriptor on its own time.
    std::size_t after = 1;
    for (int i = 0; i < 50 && after != 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        after = ListInhibitors()->size();
    }
    EXPECT_EQ(after, 0u);
    platform::SetSleepInhibitor(nullptr);
}

TEST(LogindInhibitor, WithoutLogindTheUpdateRunsAsBefore) {
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/bus", 1);
    platform::LogindInhibitor inhibitor;
    EXPECT_FALSE(inhibitor.Acquire("x", "y"));
    platform::SetSleepInhibitor(&inhibitor);
    test::AppHarness h;
    auto controller = std::make_shared<sim::StreamController>();
    h.bus.Plug(test::kStreamIds, controller, {}, false);
    const auto file = sim::SampleStreamFile(200, 138);
    h.firmwarePath = h.TempFile("fw.dat", file);
    h.Start();
    ASSERT_TRUE(h.RunUpdate());
    EXPECT_EQ(controller->StoredImage(), sim::ImageFor(file, std::nullopt));
    platform::SetSleepInhibitor(nullptr);
    ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
}

}  // namespace
