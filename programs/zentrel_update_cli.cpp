// zentrel-update-cli: the updater for real controllers without a window, for machines without
// a desktop and for scripts. On a terminal it shows the boxes' texts and a progress bar and asks
// what the boxes ask; otherwise it prints the event lines of zentrel-update-sim --auto.
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>

#include "app/res/string_resources.h"
#include "app/res/text_index.h"
#include "app/update_app.h"
#include "app/update_dlg.h"
#include "platform/headless/headless_toolkit.h"
#include "platform/language.h"
#include "platform/linux/linux_hid.h"
#include "platform/linux/logind_inhibitor.h"
#include "programs/auto_pilot.h"
#include "programs/report_trace.h"

namespace {

const char* const kUsage =
    "Usage: zentrel-update-cli [OPTIONS]\n"
    "Installs new firmware into a controller in boot mode, without a window.\n"
    "\n"
    "  --firmware FILE   the firmware file (.dat); without it the file is asked for on a terminal\n"
    "  --yes             confirm the update without asking\n"
    "  --wait SECONDS    wait that long for a controller in boot mode to be plugged in\n"
    "  --trace FILE      write every report that crosses the bus to FILE\n"
    "  --help            show this text\n"
    "\n"
    "Exit status: 0 the update ended with success; 1 it ended otherwise or no controller was\n"
    "connected; 2 bad command line.\n";

struct CliOptions {
    std::string firmware;
    bool yes = false;
    unsigned waitSeconds = 0;
    std::string tracePath;
};

bool Parse(int argc, char** argv, CliOptions* o, bool* help, std::string* error) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (arg == "--help" || arg == "-h") {
            *help = true;
        } else if (arg == "--yes") {
            o->yes = true;
        } else if ((arg == "--firmware" || arg == "--trace" || arg == "--wait") &&
                   value == nullptr) {
            *error = arg + ": expects a value";
            return false;
        } else if (arg == "--firmware") {
            o->firmware = argv[++i];
        } else if (arg == "--trace") {
            o->tracePath = argv[++i];
        } else if (arg == "--wait") {
            char* end = nullptr;
            const unsigned long seconds = std::strtoul(argv[++i], &end, 10);
            if (*end != '\0' || seconds > 86400) {
                *error = "--wait: expects a number of seconds";
                return false;
            }
            o->waitSeconds = static_cast<unsigned>(seconds);
        } else {
            *error = "unknown option: " + arg;
            return false;
        }
    }
    return true;
}

std::string LocalText(int index) {
    const int base = platform::GetUserDefaultUILanguage() == platform::kLangChinesePrc
                         ? kChineseStringBase
                         : kEnglishStringBase;
    return LoadStringResource(base + index);
}

std::string WithoutCarriageReturns(std::string text) {
    std::string out;
    for (char c : text) {
        if (c != '\r') out += c;
    }
    return out;
}

// What a person at a terminal sees: box texts, questions, one progress bar line.
class TerminalView {
public:
    void OnEvent(const std::string& line) {
        if (line.rfind("progress: ", 0) == 0) {
            const int percent = std::atoi(line.c_str() + 10);
            const int filled = percent * 40 / 100;
            std::printf("\r[%s%s] %3d%%",
                        std::string(static_cast<std::size_t>(filled), '#').c_str(),
                        std::string(static_cast<std::size_t>(40 - filled), ' ').c_str(), percent);
            std::fflush(stdout);
            m_BarShown = true;
        } else if (line.rfind("title: ", 0) == 0) {
            EndBar();
            std::printf("%s\n", line.c_str() + 7);
        }
    }
    void ShowBox(const std::string& text) {
        EndBar();
        std::printf("%s\n", WithoutCarriageReturns(text).c_str());
        std::fflush(stdout);
    }
    bool Ask(const std::string& question) {
        EndBar();
        std::printf("%s[y/N] ", WithoutCarriageReturns(question).c_str());
        std::fflush(stdout);
        std::string answer;
        if (!std::getline(std::cin, answer)) return false;
        return answer == "y" || answer == "Y" || answer == "yes";
    }
    std::string AskPath() {
        EndBar();
        std::printf("Firmware file (*.dat): ");
        std::fflush(stdout);
        std::string path;
        std::getline(std::cin, path);
        return path;
    }
    void EndBar() {
        if (m_BarShown) std::printf("\n");
        m_BarShown = false;
    }

private:
    bool m_BarShown = false;
};

}  // namespace

int main(int argc, char** argv) {
    CliOptions options;
    bool help = false;
    std::string error;
    if (!Parse(argc, argv, &options, &help, &error)) {
        std::fprintf(stderr, "zentrel-update-cli: %s\n\n%s", error.c_str(), kUsage);
        return kExitUsage;
    }
    if (help) {
        std::fputs(kUsage, stdout);
        return kExitSuccess;
    }
    const bool terminal = ::isatty(STDOUT_FILENO) != 0;
    const bool canAsk = terminal && ::isatty(STDIN_FILENO) != 0;

    platform::LinuxHid linuxHid;
    platform::LogindInhibitor inhibitor;
    platform::SetSleepInhibitor(&inhibitor);
    ReportTrace trace;
    TracingHid tracingHid(linuxHid, trace);
    if (!options.tracePath.empty() && !trace.Open(options.tracePath)) {
        std::fprintf(stderr, "zentrel-update-cli: cannot write %s\n", options.tracePath.c_str());
        return kExitFailed;
    }
    platform::SetHidServices(
        options.tracePath.empty() ? static_cast<platform::HidServices*>(&linuxHid) : &tracingHid);

    platform::HeadlessToolkit toolkit;
    AutoPilot pilot(toolkit);
    TerminalView view;
    toolkit.SetEventSink([&](const std::string& line) {
        if (terminal) {
            view.OnEvent(line);
        } else {
            std::printf("%s\n", line.c_str());
            std::fflush(stdout);
        }
        pilot.OnEvent(line);
    });
    toolkit.SetBoxScript([&](const platform::BoxRequest& box) -> std::optional<int> {
        const bool confirm = (box.type & platform::kMbOkCancel) != 0;
        if (!terminal) return confirm && !options.yes ? platform::kIdCancel : platform::kIdOk;
        if (!confirm) {
            view.ShowBox(box.text);
            return platform::kIdOk;
        }
        if (options.yes) {
            view.ShowBox(box.text);
            return platform::kIdOk;
        }
        return canAsk && view.Ask(box.text) ? platform::kIdOk : platform::kIdCancel;
    });
    toolkit.SetFileScript([&](const platform::FileDialogRequest&) -> std::optional<std::string> {
        if (!options.firmware.empty()) return options.firmware;
        if (!canAsk) return std::nullopt;
        const std::string path = view.AskPath();
        if (path.empty()) return std::nullopt;
        return path;
    });
    platform::SetToolkit(&toolkit);

    // Without a controller after start-up (and the wait), the run ends.
    std::mutex mutex;
    std::condition_variable cv;
    bool finished = false;
    std::thread waiter([&] {
        if (toolkit.WaitForWindow(10000) == nullptr) return;
        if (options.waitSeconds > 0 && !pilot.Pressed()) {
            const std::string instructions = WithoutCarriageReturns(LocalText(TXT_INSTRUCTIONS));
            std::fprintf(stderr, "Waiting %u s for a controller in boot mode.\n%s\n",
                         options.waitSeconds, instructions.c_str());
            std::unique_lock<std::mutex> lock(mutex);
            cv.wait_for(lock, std::chrono::seconds(options.waitSeconds),
                        [&] { return finished || pilot.Pressed(); });
        }
        if (!pilot.Pressed()) pilot.EndIfNotPressed();
    });

    CUpdateApp app;
    app.InitInstance([&](CUpdateDlg& dlg) { pilot.Attach(dlg); });
    {
        std::lock_guard<std::mutex> lock(mutex);
        finished = true;
    }
    cv.notify_all();
    waiter.join();
    if (terminal) view.EndBar();
    trace.Flush();
    platform::SetToolkit(nullptr);
    platform::SetHidServices(nullptr);
    if (!pilot.Pressed())
        std::fprintf(stderr, "zentrel-update-cli: no controller in boot mode found\n");
    return pilot.Outcome() == UpdateOutcome::kSucceeded ? kExitSuccess : kExitFailed;
}
