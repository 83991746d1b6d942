#include "programs/sim_options.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

const char* const kSimUsage =
    "Usage: zentrel-update-sim [OPTIONS]\n"
    "Runs Zentrel Update against a simulated controller in boot mode.\n"
    "\n"
    "Controller:\n"
    "  --controller stream|stream-b|frame|none\n"
    "                        0x0483:0x5750, 0x3A7C:0x5750 or 0x3A7C:0x3208, or none at\n"
    "                        start (default frame; with --plug-at, none plugs a frame one)\n"
    "  --version WORD        firmware version word of the controller (default 137 = 1.37)\n"
    "  --device-type CODE|none\n"
    "                        command frame: the device type it reports, or no answer (default "
    "0x6006)\n"
    "  --firmware-type N     message stream: firmware type it reports (default 1)\n"
    "  --product-code N      message stream: product code (default 0x0105)\n"
    "  --hw-revision N       message stream: hardware revision (default 1)\n"
    "  --plug-at MS          plug the controller in MS milliseconds after start (absent before)\n"
    "  --unplug-at MS        pull it out MS milliseconds after start\n"
    "  --prepare-time MS     its flash takes MS milliseconds per started 32 KiB it prepares\n"
    "                        (erases) before it answers (default 0)\n"
    "  --write-time MS       its flash takes MS milliseconds per block (command frame) or data\n"
    "                        message (message stream) it stores before it answers (default 0)\n"
    "  --link none|full-speed\n"
    "                        how reports cross the bus: at once (default none), or at the pace\n"
    "                        of a USB full-speed interrupt endpoint polled every millisecond:\n"
    "                        each report at the next whole millisecond, one per millisecond\n"
    "                        each way, and the controller answers once a report has arrived\n"
    "\n"
    "Run:\n"
    "  --firmware FILE       the file the file dialog returns (default: a generated sample)\n"
    "  --auto                no window: press the update button once a controller is connected,\n"
    "                        answer every box with OK, print each event on standard output\n"
    "  --cancel              with --auto: answer the confirmation with Cancel\n"
    "  --cancel-file         with --auto: cancel the file dialog\n"
    "  --timeout MS          with --auto: give up after MS milliseconds (default 60000)\n"
    "  --trace FILE          write every report that crosses the bus to FILE\n"
    "  --flash-dump FILE     at exit, write the image bytes the controller stored to FILE\n"
    "  --fault FAULT         make the controller or the bus misbehave (repeatable)\n"
    "  --help                show this text\n"
    "\n"
    "Numbers are decimal or 0x hexadecimal.\n"
    "Exit status with --auto: 0 the update ended with the success box; 1 it ended otherwise or\n"
    "no controller was connected; 2 bad command line; 3 the time-out ran out first.\n";

namespace {

bool ParseNumber(const char* text, std::uint32_t* value) {
    if (text == nullptr || *text == '\0' || *text == '-') return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long long v = std::strtoull(text, &end, 0);
    if (errno != 0 || *end != '\0' || v > 0xFFFFFFFFull) return false;
    *value = static_cast<std::uint32_t>(v);
    return true;
}

}  // namespace

bool ParseSimOptions(int argc, char** argv, SimOptions* o, bool* help, std::string* error) {
    *help = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        const auto number = [&](std::uint32_t* out) {
            const char* v = value();
            if (ParseNumber(v, out)) return true;
            *error = arg + ": expects a number" + (v ? std::string(", not '") + v + "'" : "");
            return false;
        };
        const auto text = [&](std::string* out) {
            const char* v = value();
            if (v == nullptr) {
                *error = arg + ": expects a value";
                return false;
            }
            *out = v;
            return true;
        };
        std::uint32_t n = 0;
        if (arg == "--help" || arg == "-h") {
            *help = true;
            return true;
        } else if (arg == "--controller") {
            std::string kind;
            if (!text(&kind)) return false;
            if (kind == "stream")
                o->controller = SimController::kStream;
            else if (kind == "stream-b")
                o->controller = SimController::kStreamB;
            else if (kind == "frame")
                o->controller = SimController::kFrame;
            else if (kind == "none")
                o->controller = SimController::kNone;
            else {
                *error = "--controller: expects stream, stream-b, frame or none";
                return false;
            }
        } else if (arg == "--version") {
            if (!number(&o->version)) return false;
        } else if (arg == "--device-type") {
            const char* v = value();
            if (v != nullptr && std::strcmp(v, "none") == 0) {
                o->deviceType.reset();
            } else if (ParseNumber(v, &n)) {
                o->deviceType = n;
            } else {
                *error = "--device-type: expects a number or none";
                return false;
            }
        } else if (arg == "--firmware-type") {
            if (!number(&o->firmwareType) || o->firmwareType > 0xFF) {
                if (error->empty()) *error = "--firmware-type: expects 0 to 255";
                return false;
            }
        } else if (arg == "--product-code") {
            if (!number(&o->productCode) || o->productCode > 0xFFFF) {
                if (error->empty()) *error = "--product-code: expects 0 to 0xFFFF";
                return false;
            }
        } else if (arg == "--hw-revision") {
            if (!number(&o->hwRevision) || o->hwRevision > 0xFF) {
                if (error->empty()) *error = "--hw-revision: expects 0 to 255";
                return false;
            }
        } else if (arg == "--plug-at") {
            if (!number(&n)) return false;
            o->plugAtMs = n;
        } else if (arg == "--unplug-at") {
            if (!number(&n)) return false;
            o->unplugAtMs = n;
        } else if (arg == "--firmware") {
            if (!text(&o->firmware)) return false;
        } else if (arg == "--auto") {
            o->autoRun = true;
        } else if (arg == "--cancel") {
            o->cancelConfirm = true;
        } else if (arg == "--cancel-file") {
            o->cancelFile = true;
        } else if (arg == "--timeout") {
            if (!number(&o->timeoutMs)) return false;
        } else if (arg == "--trace") {
            if (!text(&o->tracePath)) return false;
        } else if (arg == "--flash-dump") {
            if (!text(&o->flashDumpPath)) return false;
        } else if (arg == "--link") {
            std::string link;
            if (!text(&link)) return false;
            if (!sim::ParseLinkModel(link, &o->link)) {
                *error = "--link: expects none or full-speed";
                return false;
            }
        } else if (arg == "--prepare-time") {
            if (!number(&n)) return false;
            o->flashTiming.prepareMsPerUnit = n;
        } else if (arg == "--write-time") {
            if (!number(&n)) return false;
            o->flashTiming.writeMs = n;
        } else if (arg == "--fault") {
            std::string faultText;
            sim::Fault fault;
            if (!text(&faultText) || !sim::ParseFault(faultText, &fault, error)) return false;
            o->faults.push_back(fault);
        } else {
            *error = "unknown option: " + arg;
            return false;
        }
    }
    return true;
}
