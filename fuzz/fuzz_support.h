// What the three fuzzers share: a file path whose bytes are replaced with each input, a
// controller that takes reports and answers nothing, an application kept running across inputs,
// and a check that stops the run on a broken invariant.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/bus.h"
#include "sim/device_model.h"
#include "support/app_harness.h"

// A broken invariant is a finding: it ends the run as a crash does, so libFuzzer keeps the input.
#define FUZZ_CHECK(condition)                                                  \
    do {                                                                       \
        if (!(condition)) ::fuzz::CheckFailed(#condition, __FILE__, __LINE__); \
    } while (0)

namespace fuzz {

[[noreturn]] void CheckFailed(const char* condition, const char* file, int line);

// A temporary file that stays at one path for the whole run; its bytes are replaced in place,
// so no input pays for creating a file. Removed at exit.
class ScratchFile {
public:
    explicit ScratchFile(const std::vector<std::uint8_t>& bytes = {});
    ~ScratchFile();
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;

    void Replace(const std::uint8_t* data, std::size_t size);
    const std::string& Path() const { return m_Path; }

private:
    int m_Fd = -1;
    std::string m_Path;
};

// A controller that takes every report and never answers: the senders' writes succeed and
// nothing piles up on either side.
class SilentDevice final : public sim::DeviceModel {
public:
    void OnOutputReport(const sim::Payload&, sim::ReportSink&) override {}
};

// The whole application on the simulated bus and the headless toolkit, in virtual time, kept
// running from one input to the next. The headless toolkit keeps a record of every box and
// file dialog; the application is started afresh every so many inputs so that memory stays
// bounded, which costs one thread start per that many inputs instead of one per input.
class App {
public:
    // plug: puts the controllers on the bus before the application starts.
    explicit App(std::function<void(test::AppHarness&)> plug);
    ~App();

    // Called first for each input: the running application, started or restarted as needed.
    test::AppHarness& BeginInput();
    test::AppHarness& Harness() { return *m_Harness; }
    CUpdateDlg& Dlg() { return m_Harness->Dlg(); }

    // Runs work on the user-interface thread and waits for it: boxes and the file dialog are
    // then answered there and then, without a thread switch each.
    void RunOnUi(const std::function<void()>& work);

    // Drops what the run recorded for the last input (events, bus trace, pauses) and counts
    // the input towards the next restart.
    void EndInput();

    // The boxes shown since the input began (every box is answered OK), in order.
    const std::vector<platform::BoxRequest>& Boxes() const { return m_Boxes; }
    void ClearBoxes() { m_Boxes.clear(); }

    // The answer of the file dialog; nullopt cancels it. Read on the user-interface thread.
    void SetFileAnswer(std::optional<std::string> path) { m_FileAnswer = std::move(path); }

    // Ends the application (at exit, so that no thread of it outlives the process's objects).
    void Stop();

private:
    void Start();

    std::function<void(test::AppHarness&)> m_Plug;
    std::unique_ptr<test::AppHarness> m_Harness;
    int m_InputsSinceStart = 0;
    std::vector<platform::BoxRequest> m_Boxes;
    std::optional<std::string> m_FileAnswer;
};

// Input bytes taken in order; past the end every read gives 0.
class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t size) : m_Data(data), m_Size(size) {}
    std::uint8_t Byte() { return m_Pos < m_Size ? m_Data[m_Pos++] : 0; }
    std::uint32_t Word() {
        std::uint32_t w = 0;
        for (int i = 0; i < 4; ++i) w |= static_cast<std::uint32_t>(Byte()) << (8 * i);
        return w;
    }
    // Copies up to count bytes into out, zero-filling what the input lacks; false when none
    // were left.
    bool Chunk(std::uint8_t* out, std::size_t count);
    std::vector<std::uint8_t> Rest() const {
        return std::vector<std::uint8_t>(m_Data + m_Pos, m_Data + m_Size);
    }

private:
    const std::uint8_t* m_Data;
    std::size_t m_Size;
    std::size_t m_Pos = 0;
};

// The one application of the process, created at first use and ended at exit.
App& TheApp(std::function<void(test::AppHarness&)> plug);

}  // namespace fuzz
