// The application icon: a game pad with a down arrow (new firmware going in), drawn as text,
// one character a pixel.
#include "app/res/icon_152.h"

#include <cstdint>

namespace {

// clang-format off
constexpr const char* kPixels[32] = {
    "................................",
    "...............gg...............",
    "...............gg...............",
    "...............gg...............",
    "...............gg...............",
    "............gggggggg............",
    ".............gggggg.............",
    "..............gggg..............",
    "...............gg...............",
    "................................",
    "......oooooo..........oooooo....",
    "....oobbbbbbooooooooooobbbbbboo.",
    "...obbbbbbbbbbbbbbbbbbbbbbbbbbbo",
    "..obbbbwbbbbbbbbbbbbbbbbbbrbbbbo",
    "..obbbbwbbbbbbbbbbbbbbbbbbbbbbbo",
    ".obbwwwwwwwbbbbbbbbbbbbbybbbcbbo",
    ".obbbbbwbbbbbbbssbbssbbbbbbbbbbo",
    ".obbbbbwbbbbbbbbbbbbbbbbbbgbbbbo",
    ".obbbbbbbbbbbbbbbbbbbbbbbbbbbbbo",
    ".obbbbbbbbbbbdddddddddbbbbbbbbbo",
    ".obbbbbbbbbbddddddddddddbbbbbbbo",
    ".obbbbbbbbbdoooooooooooddbbbbbbo",
    ".obbbbbbbbdo...........odbbbbbbo",
    ".obbbbbbbbo.............obbbbbbo",
    ".obbbbbbbo...............obbbbbo",
    ".obbbbbbo.................obbbbo",
    "..obbbbo...................obbo.",
    "...oooo.....................oo..",
    "................................",
    "................................",
    "................................",
    "................................",
};
// clang-format on

std::uint32_t Colour(char c) {
    switch (c) {
        case 'o':
            return 0xFF202830;  // outline
        case 'b':
            return 0xFF3A4A5C;  // body
        case 'd':
            return 0xFF2C3846;  // shadow
        case 'w':
            return 0xFFE8ECF0;  // pad
        case 's':
            return 0xFF8090A0;  // start and select
        case 'r':
            return 0xFFE04040;
        case 'y':
            return 0xFFF0C020;
        case 'c':
            return 0xFF3080F0;
        case 'g':
            return 0xFF30B050;  // arrow and fourth button
        default:
            return 0x00000000;  // transparent
    }
}

}  // namespace

const platform::Icon& ApplicationIcon() {
    static const platform::Icon kIcon = [] {
        platform::Icon icon;
        icon.width = 32;
        icon.height = 32;
        icon.argb.reserve(32 * 32);
        for (const char* row : kPixels) {
            for (int x = 0; x < 32; ++x) icon.argb.push_back(Colour(row[x]));
        }
        return icon;
    }();
    return kIcon;
}
