#include "fuzz_support.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/debug.h"

namespace fuzz {

namespace {

// Enough inputs that the restart costs nothing measurable, few enough that the toolkit's
// records of boxes and dialogs stay at a few megabytes.
constexpr int kInputsPerStart = 10000;

std::string TempDirectory() {
    const char* dir = std::getenv("TMPDIR");
    return dir != nullptr && *dir != '\0' ? dir : "/tmp";
}

App* g_App = nullptr;

}  // namespace

void CheckFailed(const char* condition, const char* file, int line) {
    std::fprintf(stderr, "FUZZ CHECK FAILED: %s at %s:%d\n", condition, file, line);
    std::fflush(stderr);
    std::abort();
}

ScratchFile::ScratchFile(const std::vector<std::uint8_t>& bytes) {
    std::string pattern = TempDirectory() + "/zentrel-fuzz-XXXXXX";
    m_Fd = ::mkstemp(pattern.data());
    if (m_Fd < 0) {
        std::perror("mkstemp");
        std::abort();
    }
    m_Path = pattern;
    Replace(bytes.data(), bytes.size());
}

ScratchFile::~ScratchFile() {
    if (m_Fd >= 0) ::close(m_Fd);
    ::unlink(m_Path.c_str());
}

void ScratchFile::Replace(const std::uint8_t* data, std::size_t size) {
    if (::ftruncate(m_Fd, 0) != 0) {
        std::perror("ftruncate");
        std::abort();
    }
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pwrite(m_Fd, data + done, size - done, static_cast<off_t>(done));
        if (n <= 0) {
            std::perror("pwrite");
            std::abort();
        }
        done += static_cast<std::size_t>(n);
    }
}

App::App(std::function<void(test::AppHarness&)> plug) : m_Plug(std::move(plug)) {}

App::~App() {
    Stop();
}

test::AppHarness& App::BeginInput() {
    if (m_Harness && m_InputsSinceStart >= kInputsPerStart) Stop();
    if (!m_Harness) Start();
    return *m_Harness;
}

void App::Start() {
    m_Harness = std::make_unique<test::AppHarness>();
    // The diagnostics of millions of inputs are neither kept nor written.
    platform::SetDebugSink([](const std::string&) {});
    m_Harness->toolkit.SetBoxScript([this](const platform::BoxRequest& box) -> std::optional<int> {
        m_Boxes.push_back(box);
        return platform::kIdOk;
    });
    m_Harness->toolkit.SetFileScript(
        [this](const platform::FileDialogRequest&) { return m_FileAnswer; });
    m_Plug(*m_Harness);
    m_Harness->Start();
    m_InputsSinceStart = 0;
    EndInput();
    m_InputsSinceStart = 0;
}

void App::Stop() {
    m_Harness.reset();
}

void App::RunOnUi(const std::function<void()>& work) {
    m_Harness->Window().RunOnUiThread(work);
}

void App::EndInput() {
    test::AppHarness& h = *m_Harness;
    h.toolkit.ClearEvents();
    h.bus.ClearTrace();
    h.clock.ClearPauses();
    m_Boxes.clear();
    ++m_InputsSinceStart;
}

bool Reader::Chunk(std::uint8_t* out, std::size_t count) {
    if (m_Pos >= m_Size) return false;
    const std::size_t n = std::min(count, m_Size - m_Pos);
    std::memcpy(out, m_Data + m_Pos, n);
    std::memset(out + n, 0, count - n);
    m_Pos += n;
    return true;
}

App& TheApp(std::function<void(test::AppHarness&)> plug) {
    if (g_App == nullptr) {
        g_App = new App(std::move(plug));
        std::atexit([] {
            delete g_App;
            g_App = nullptr;
        });
    }
    return *g_App;
}

}  // namespace fuzz
