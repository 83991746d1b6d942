#include "platform/debug.h"

#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace platform {

namespace {

std::mutex g_SinkMutex;
DebugSink g_Sink;

std::string VFormat(const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    const int n = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (n <= 0) return {};
    std::string out(static_cast<std::size_t>(n), '\0');
    std::vsnprintf(out.data(), out.size() + 1, format, args);
    return out;
}

}  // namespace

void DebugOutput(const std::string& text) {
    std::lock_guard<std::mutex> lock(g_SinkMutex);
    if (g_Sink) {
        g_Sink(text);
        return;
    }
    // One write call per line keeps lines of different threads whole.
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(STDERR_FILENO, text.data() + done, text.size() - done);
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
}

void DebugPrintf(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = VFormat(format, args);
    va_end(args);
    DebugOutput(text);
}

std::string Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = VFormat(format, args);
    va_end(args);
    return text;
}

void SetDebugSink(DebugSink sink) {
    std::lock_guard<std::mutex> lock(g_SinkMutex);
    g_Sink = std::move(sink);
}

}  // namespace platform
