// A device that records what it receives and answers from a script: the simplest model, for
// tests of the controller link itself.
#pragma once

#include <functional>
#include <mutex>
#include <vector>

#include "sim/device_model.h"

namespace sim {

class ScriptedDevice final : public DeviceModel {
public:
    // The script sees each output report and returns the input reports to send back.
    using Script = std::function<std::vector<Payload>(const Payload&)>;

    // Replies to one report go out spacingMs apart (0: all at once).
    explicit ScriptedDevice(Script script = {}, double spacingMs = 0)
        : m_Script(std::move(script)), m_SpacingMs(spacingMs) {}

    void OnOutputReport(const Payload& payload, ReportSink& sink) override {
        Script script;
        {
            std::lock_guard<std::mutex> lock(m_Mutex);
            m_Received.push_back(payload);
            script = m_Script;
        }
        if (!script) return;
        double delay = 0;
        for (const Payload& reply : script(payload)) {
            sink.SendInput(reply, delay);
            delay += m_SpacingMs;
        }
    }

    std::vector<Payload> Received() const {
        std::lock_guard<std::mutex> lock(m_Mutex);
        return m_Received;
    }

private:
    mutable std::mutex m_Mutex;
    Script m_Script;
    double m_SpacingMs;
    std::vector<Payload> m_Received;
};

}  // namespace sim
