// Writes the application icon as files for the desktop: a 32 x 32 PNG and a scalable SVG, both
// from the one drawing the program carries. export-icon PNG SVG
#include <QGuiApplication>
#include <QImage>
#include <cstdio>
#include <fstream>

#include "app/res/icon_152.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: export-icon PNG SVG\n");
        return 2;
    }
    const platform::Icon& icon = ApplicationIcon();
    QImage image(icon.width, icon.height, QImage::Format_ARGB32);
    for (int y = 0; y < icon.height; ++y) {
        for (int x = 0; x < icon.width; ++x)
            image.setPixel(x, y, icon.argb[static_cast<std::size_t>(y * icon.width + x)]);
    }
    if (!image.save(QString::fromLocal8Bit(argv[1]), "PNG")) return 1;

    // One square per pixel run, so the picture scales without blurring.
    std::ofstream svg(argv[2]);
    svg << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"128\" height=\"128\" viewBox=\"0 0 "
        << icon.width << ' ' << icon.height << "\" shape-rendering=\"crispEdges\">\n";
    for (int y = 0; y < icon.height; ++y) {
        for (int x = 0; x < icon.width;) {
            const std::uint32_t c = icon.argb[static_cast<std::size_t>(y * icon.width + x)];
            int run = 1;
            while (x + run < icon.width &&
                   icon.argb[static_cast<std::size_t>(y * icon.width + x + run)] == c)
                ++run;
            if ((c >> 24) != 0) {
                char colour[8];
                std::snprintf(colour, sizeof colour, "#%06x", c & 0xFFFFFF);
                svg << "  <rect x=\"" << x << "\" y=\"" << y << "\" width=\"" << run
                    << "\" height=\"1\" fill=\"" << colour << "\"/>\n";
            }
            x += run;
        }
    }
    svg << "</svg>\n";
    return svg.good() ? 0 : 1;
}
