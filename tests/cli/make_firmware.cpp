// Writes a sample firmware file for a simulated controller and, beside it, the image bytes that
// controller must end up storing: make-firmware frame|stream TYPE|none SIZE FILE IMAGE
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "image/firmware_writer.h"
#include "sim/sample_firmware.h"

int main(int argc, char** argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: make-firmware frame|stream TYPE|none SIZE FILE IMAGE\n");
        return 2;
    }
    const std::string kind = argv[1];
    std::optional<std::uint32_t> type;
    if (std::string(argv[2]) != "none")
        type = static_cast<std::uint32_t>(std::strtoul(argv[2], nullptr, 0));
    const std::size_t size = std::strtoul(argv[3], nullptr, 0);
    const std::vector<std::uint8_t> file = kind == "frame"
                                               ? sim::SampleFrameFile(type, size, 0x0001008A)
                                               : sim::SampleStreamFile(size, 0x0001008A);
    const bool ok =
        WriteFileBytes(argv[4], file) && WriteFileBytes(argv[5], sim::ImageFor(file, type));
    return ok ? 0 : 1;
}
