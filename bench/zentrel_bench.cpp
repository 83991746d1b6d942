// zentrel_bench: how close an update comes to what the USB link allows, and what the host's
// own work costs. Not a test: it runs on the real clock and takes minutes (scripts/bench.sh).
//
// Each whole update runs in a fresh child process of this program (the application keeps
// process-wide state, Qt wants one application per process, and the peak memory is then that of
// one update); the parent prints the table.
#include <sys/prctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/micro.h"
#include "bench/update_run.h"

namespace {

const char* const kUsage =
    "Usage: zentrel_bench [OPTIONS]\n"
    "Measures whole updates through the simulated full-speed USB link (real clock) against the\n"
    "bound the link and the protocol allow, the host's reaction times, the worker's waits on the\n"
    "user-interface thread, peak memory, and micro-benchmarks of the work per block.\n"
    "\n"
    "  --sizes KIB,...        image sizes in KiB (default 16,128,1024)\n"
    "  --protocols LIST       frame,stream (default both)\n"
    "  --toolkits LIST        headless,qt (default both where built with Qt)\n"
    "  --no-micro             skip the micro-benchmarks\n"
    "  --no-updates           skip the whole updates\n"
    "  --help                 show this text\n";

std::vector<std::string> Split(const std::string& text) {
    std::vector<std::string> parts;
    std::stringstream in(text);
    std::string part;
    while (std::getline(in, part, ',')) {
        if (!part.empty()) parts.push_back(part);
    }
    return parts;
}

const char* Name(bench::Toolkit t) {
    return t == bench::Toolkit::kQt ? "qt" : "headless";
}
const char* Name(bench::Protocol p) {
    return p == bench::Protocol::kFrame ? "frame" : "stream";
}

// The child's side: one update, its figures on one line of standard output.
int RunChild(const std::string& toolkit, const std::string& protocol, const std::string& bytes) {
    bench::UpdateCase update{
        toolkit == "qt" ? bench::Toolkit::kQt : bench::Toolkit::kHeadless,
        protocol == "stream" ? bench::Protocol::kStream : bench::Protocol::kFrame,
        static_cast<std::size_t>(std::strtoull(bytes.c_str(), nullptr, 10))};
    const bench::RunResult r = bench::RunUpdate(update);
    if (!r.ok) {
        std::printf("error %s\n", r.error.c_str());
        return 1;
    }
    std::printf(
        "result measured=%.3f bound=%.3f reports=%zu exchanges=%zu pauses=%zu pauses_ms=%.0f "
        "react_n=%zu react_p50=%.1f react_p99=%.1f react_max=%.1f "
        "wake_p50=%.1f wake_p99=%.1f work_p50=%.1f work_p99=%.1f "
        "ui_n=%zu ui_p50=%.1f ui_p99=%.1f ui_max=%.1f lost_host=%zu lost_sim=%zu "
        "lost_host_ms=%.0f lost_sim_ms=%.0f queue_worker=%.1f queue_ui=%.1f queue_sim=%.1f "
        "rss_before=%.0f rss_peak=%.0f alloc_worker=%.2f alloc_ui=%.2f alloc_sim=%.2f\n",
        r.measuredMs, r.boundMs, r.reports, r.exchanges, r.pauses, r.pausesMs, r.reaction.count,
        r.reaction.p50, r.reaction.p99, r.reaction.max, r.wake.p50, r.wake.p99, r.work.p50,
        r.work.p99, r.uiWait.count, r.uiWait.p50, r.uiWait.p99, r.uiWait.max, r.slotsLostHost,
        r.slotsLostDevice, r.lostHostMs, r.lostDeviceMs, r.workerQueueMs, r.uiQueueMs,
        r.deviceQueueMs, r.rssBeforeKiB, r.rssPeakKiB, r.allocsWorker, r.allocsUi, r.allocsDevice);
    return 0;
}

std::string SelfPath() {
    char buffer[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0) return {};
    buffer[n] = '\0';
    return buffer;
}

// Runs one update in a child; its key=value figures, or an "error" entry.
std::map<std::string, std::string> RunInChild(const std::string& self, bench::Toolkit toolkit,
                                              bench::Protocol protocol, std::size_t bytes) {
    const std::string command = "'" + self + "' --run " + Name(toolkit) + " " + Name(protocol) +
                                " " + std::to_string(bytes);
    std::map<std::string, std::string> figures;
    std::FILE* child = ::popen(command.c_str(), "r");
    if (child == nullptr) {
        figures["error"] = "cannot start a child";
        return figures;
    }
    std::string output;
    char buffer[1024];
    while (std::fgets(buffer, sizeof buffer, child) != nullptr) output += buffer;
    const int status = ::pclose(child);
    std::stringstream lines(output);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind("result ", 0) == 0) {
            std::stringstream words(line.substr(7));
            std::string word;
            while (words >> word) {
                const std::size_t eq = word.find('=');
                if (eq != std::string::npos) figures[word.substr(0, eq)] = word.substr(eq + 1);
            }
        } else if (line.rfind("error ", 0) == 0) {
            figures["error"] = line.substr(6);
        }
    }
    if (figures.empty()) figures["error"] = "child ended with status " + std::to_string(status);
    return figures;
}

double Num(const std::map<std::string, std::string>& f, const char* key) {
    const auto it = f.find(key);
    return it == f.end() ? 0.0 : std::atof(it->second.c_str());
}

std::string SizeText(std::size_t bytes) {
    if (bytes % (1024 * 1024) == 0) return std::to_string(bytes / (1024 * 1024)) + " MiB";
    if (bytes % 1024 == 0) return std::to_string(bytes / 1024) + " KiB";
    return std::to_string(bytes) + " B";
}

void PrintMicro() {
    std::printf("Micro-benchmarks (median of 5 runs of at least 50 ms):\n");
    for (const bench::MicroResult& m : bench::RunMicroBenchmarks()) {
        if (m.bytesPerOp > 0) {
            std::printf("  %-62s %10.1f ns  %8.1f MB/s\n", m.name.c_str(), m.nsPerOp,
                        m.bytesPerOp / m.nsPerOp * 1000.0);
        } else {
            std::printf("  %-62s %10.1f ns\n", m.name.c_str(), m.nsPerOp);
        }
    }
    const bench::WakeLatency wake = bench::MeasureWakeLatency(3000);
    std::printf("  %-62s %5.0f / %.0f / %.0f us (p50 / p99 / max)\n",
                "thread wake-up, notify to return of the wait, once per ms", wake.p50, wake.p99,
                wake.max);
    std::printf("\n");
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    // The simulated link's millisecond slots are kept by timed waits; the default timer slack
    // of 50 us would make each of the controller's answers that much late.
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);

    if (argc == 5 && std::strcmp(argv[1], "--run") == 0) return RunChild(argv[2], argv[3], argv[4]);

    std::vector<std::size_t> sizes = {16 * 1024, 128 * 1024, 1024 * 1024};
    std::vector<bench::Protocol> protocols = {bench::Protocol::kFrame, bench::Protocol::kStream};
    std::vector<bench::Toolkit> toolkits = {bench::Toolkit::kHeadless};
#ifdef ZENTREL_HAVE_QT
    toolkits.push_back(bench::Toolkit::kQt);
#endif
    bool micro = true, updates = true;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (arg == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--sizes" && value != nullptr) {
            sizes.clear();
            for (const std::string& s : Split(argv[++i])) {
                sizes.push_back(static_cast<std::size_t>(std::strtoull(s.c_str(), nullptr, 10)) *
                                1024);
            }
        } else if (arg == "--protocols" && value != nullptr) {
            protocols.clear();
            for (const std::string& s : Split(argv[++i])) {
                protocols.push_back(s == "stream" ? bench::Protocol::kStream
                                                  : bench::Protocol::kFrame);
            }
        } else if (arg == "--toolkits" && value != nullptr) {
            toolkits.clear();
            for (const std::string& s : Split(argv[++i])) {
                toolkits.push_back(s == "qt" ? bench::Toolkit::kQt : bench::Toolkit::kHeadless);
            }
        } else if (arg == "--no-micro") {
            micro = false;
        } else if (arg == "--no-updates") {
            updates = false;
        } else {
            std::fprintf(stderr, "zentrel_bench: unknown option %s\n\n%s", arg.c_str(), kUsage);
            return 2;
        }
    }

    double load[3] = {0, 0, 0};
    if (::getloadavg(load, 3) < 0) load[0] = -1;
    std::printf("zentrel_bench: %u cores, load average %.2f at start\n\n",
                std::thread::hardware_concurrency(), load[0]);
    if (micro) PrintMicro();
    if (!updates) return 0;

    std::printf(
        "Whole updates through the full-speed link on the real clock. Bound: the exchanges at "
        "2 ms\n(one millisecond out, the answer in the next) plus the fixed pauses of the "
        "primitives.\nTimes in microseconds. Reaction: the controller's report readable -> the "
        "host's next\nreport written; wake: readable -> the host's read returns; work: the read "
        "returns -> the\nwrite. UI: the worker's wait per progress step. Lost: milliseconds "
        "missed by the host,\nby the simulated controller, and by anything else (around the "
        "pauses). Allocs: heap\nallocations per exchange.\n\n");
    std::printf("%-8s %-6s %-7s %5s %9s %9s %6s  %-18s %-11s %-11s %-11s %-12s %s\n", "toolkit",
                "proto", "image", "exch", "measured", "bound", "ratio", "reaction p50/99/max",
                "wake p50/99", "work p50/99", "UI p50/99", "lost ms h/s/o", "allocs worker/ui/sim");
    std::fflush(stdout);
    const std::string self = SelfPath();
    int failures = 0;
    std::vector<std::string> memory, queues;
    for (const bench::Toolkit toolkit : toolkits) {
        for (const bench::Protocol protocol : protocols) {
            for (const std::size_t size : sizes) {
                const auto f = RunInChild(self, toolkit, protocol, size);
                if (f.count("error") != 0) {
                    ++failures;
                    std::printf("%-8s %-6s %-8s FAILED: %s\n", Name(toolkit), Name(protocol),
                                SizeText(size).c_str(), f.at("error").c_str());
                    std::fflush(stdout);
                    continue;
                }
                const double measured = Num(f, "measured"), bound = Num(f, "bound");
                char reaction[64], wake[32], work[32], ui[32], lost[32], allocs[48];
                std::snprintf(reaction, sizeof reaction, "%.0f/%.0f/%.0f", Num(f, "react_p50"),
                              Num(f, "react_p99"), Num(f, "react_max"));
                std::snprintf(wake, sizeof wake, "%.0f/%.0f", Num(f, "wake_p50"),
                              Num(f, "wake_p99"));
                std::snprintf(work, sizeof work, "%.0f/%.0f", Num(f, "work_p50"),
                              Num(f, "work_p99"));
                std::snprintf(ui, sizeof ui, "%.0f/%.0f", Num(f, "ui_p50"), Num(f, "ui_p99"));
                std::snprintf(lost, sizeof lost, "%.0f/%.0f/%.0f", Num(f, "lost_host_ms"),
                              Num(f, "lost_sim_ms"),
                              measured - bound - Num(f, "lost_host_ms") - Num(f, "lost_sim_ms"));
                std::snprintf(allocs, sizeof allocs, "%.1f/%.1f/%.1f", Num(f, "alloc_worker"),
                              Num(f, "alloc_ui"), Num(f, "alloc_sim"));
                std::printf(
                    "%-8s %-6s %-7s %5.0f %7.3f s %7.3f s %6.3f  %-18s %-11s %-11s %-11s %-12s "
                    "%s\n",
                    Name(toolkit), Name(protocol), SizeText(size).c_str(), Num(f, "exchanges"),
                    measured / 1000.0, bound / 1000.0, bound > 0 ? measured / bound : 0.0, reaction,
                    wake, work, ui, lost, allocs);
                std::fflush(stdout);
                char line[160];
                std::snprintf(line, sizeof line,
                              "  %-8s %-6s %-8s peak %6.1f MiB, %5.1f MiB above the %5.1f MiB "
                              "before the button press",
                              Name(toolkit), Name(protocol), SizeText(size).c_str(),
                              Num(f, "rss_peak") / 1024.0,
                              (Num(f, "rss_peak") - Num(f, "rss_before")) / 1024.0,
                              Num(f, "rss_before") / 1024.0);
                memory.push_back(line);
                std::snprintf(line, sizeof line,
                              "  %-8s %-6s %-8s worker %7.1f ms, user-interface thread %7.1f ms, "
                              "simulated controller %7.1f ms",
                              Name(toolkit), Name(protocol), SizeText(size).c_str(),
                              Num(f, "queue_worker"), Num(f, "queue_ui"), Num(f, "queue_sim"));
                queues.push_back(line);
            }
        }
    }
    std::printf(
        "\nTime each thread was ready to run but had no processor (other work on the "
        "machine):\n");
    for (const std::string& line : queues) std::printf("%s\n", line.c_str());
    std::printf(
        "\nResident memory of each update's process (simulated controller and bench "
        "included):\n");
    for (const std::string& line : memory) std::printf("%s\n", line.c_str());
    return failures == 0 ? 0 : 1;
}
