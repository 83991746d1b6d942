// The debug channel: one-line diagnostics, each written whole to standard error in UTF-8.
#pragma once

#include <functional>
#include <string>

namespace platform {

// Writes text as one piece (no newline is added). Safe from any thread.
void DebugOutput(const std::string& text);

// printf-style convenience for DebugOutput.
void DebugPrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// printf into a std::string.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Tests capture the lines in order; a capture replaces standard error until it is reset.
using DebugSink = std::function<void(const std::string&)>;
void SetDebugSink(DebugSink sink);

}  // namespace platform
