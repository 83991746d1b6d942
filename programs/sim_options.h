// The command line of zentrel-update-sim. It is a contract that scripts and checks rely on:
// keep the names and formats.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/bus.h"
#include "sim/device_model.h"
#include "sim/faults.h"

enum class SimController { kStream, kStreamB, kFrame, kNone };

struct SimOptions {
    SimController controller = SimController::kFrame;
    std::uint32_t version = 137;
    std::optional<std::uint32_t> deviceType = 0x6006;  // nullopt: no answer to the type query
    std::uint32_t firmwareType = 1;
    std::uint32_t productCode = 0x0105;
    std::uint32_t hwRevision = 1;
    std::optional<std::uint32_t> plugAtMs;
    std::optional<std::uint32_t> unplugAtMs;
    std::string firmware;  // empty: a generated sample
    bool autoRun = false;
    bool cancelConfirm = false;
    bool cancelFile = false;
    std::uint32_t timeoutMs = 60000;
    std::string tracePath;
    std::string flashDumpPath;
    std::vector<sim::Fault> faults;
    sim::LinkModel link = sim::LinkModel::kNone;
    sim::FlashTiming flashTiming;
};

// Parses argv. On error returns false with a message in *error; --help sets *help.
bool ParseSimOptions(int argc, char** argv, SimOptions* options, bool* help, std::string* error);

extern const char* const kSimUsage;
