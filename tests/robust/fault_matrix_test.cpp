// Every fault at several points of an update, on both protocols: each run must end within its
// bound with either the success box and the controller holding exactly the file's image, or a
// failure without the success box; never a hang, a crash or a second worker. The table of all
// runs is printed.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "app/res/dialog_102.h"
#include "frame/address_map.h"
#include "frame/command_frame.h"
#include "sim/faults.h"
#include "sim/frame_controller.h"
#include "sim/sample_firmware.h"
#include "sim/stream_controller.h"
#include "support/app_harness.h"

namespace {

enum class Point {
    kConnection,
    kSelection,
    kPrepare,
    kFirst,
    kMiddle,
    kLast,
    kVersionWord,
    kFinish
};

const char* PointName(Point p) {
    switch (p) {
        case Point::kConnection:
            return "connection";
        case Point::kSelection:
            return "selection";
        case Point::kPrepare:
            return "prepare";
        case Point::kFirst:
            return "first";
        case Point::kMiddle:
            return "middle";
        case Point::kLast:
            return "last";
        case Point::kVersionWord:
            return "version/end";
        case Point::kFinish:
            return "finish";
    }
    return "?";
}

struct Config {
    const char* name;
    bool stream;
    std::optional<std::uint32_t> deviceType;
    std::size_t size;
};

// The number of the exchange (request and its reply, counted from 1 over the controller's
// life) that falls at a point of a run, for faults counted by exchange.
std::uint32_t ExchangeAt(const Config& c, Point p) {
    if (c.stream) {
        // 1 version query; 2 start -> description; 3 firmware info -> first request; then one
        // per chunk; the last request gets the end message.
        const std::uint32_t chunks = static_cast<std::uint32_t>((c.size + 31) / 32);
        switch (p) {
            case Point::kConnection:
                return 1;
            case Point::kSelection:
                return 2;
            case Point::kPrepare:
            case Point::kFirst:
                return 3;
            case Point::kMiddle:
                return 3 + chunks / 2;
            case Point::kLast:
                return 2 + chunks;
            case Point::kVersionWord:
            case Point::kFinish:
                return 3 + chunks;
        }
    }
    // 1 type query, 2 version read; 3 prepare; blocks; [prepare of the version word]; version
    // word; finish.
    const std::uint32_t blocks = static_cast<std::uint32_t>((c.size + 45) / 46);
    const bool crc = c.deviceType && IsCrcDeviceTypeCode(*c.deviceType);
    switch (p) {
        case Point::kConnection:
            return 1;
        case Point::kSelection:
        case Point::kPrepare:
            return 3;
        case Point::kFirst:
            return 4;
        case Point::kMiddle:
            return 4 + blocks / 2;
        case Point::kLast:
            return 3 + blocks;
        case Point::kVersionWord:
            return 4 + blocks + (crc ? 1 : 0);
        case Point::kFinish:
            return 5 + blocks + (crc ? 1 : 0);
    }
    return 1;
}

// The chunk or block a point names, for faults counted that way (from 1).
std::uint32_t UnitAt(const Config& c, Point p) {
    const std::uint32_t units =
        static_cast<std::uint32_t>(c.stream ? (c.size + 31) / 32 : (c.size + 45) / 46);
    switch (p) {
        case Point::kMiddle:
            return units / 2 + 1;
        case Point::kLast:
        case Point::kVersionWord:
        case Point::kFinish:
            return units;
        default:
            return 1;
    }
}

struct Row {
    std::string fault, point, config, outcome;
    double virtualMs, realMs;
};
std::vector<Row> g_Rows;

struct FaultRun {
    Config config;
    std::string faultText;
    Point point;
};

void RunOne(const FaultRun& run) {
    SCOPED_TRACE(run.faultText + " at " + PointName(run.point) + " on " + run.config.name);
    const Config& c = run.config;
    sim::Fault fault;
    std::string error;
    ASSERT_TRUE(sim::ParseFault(run.faultText, &fault, &error)) << error;

    test::AppHarness h;
    std::shared_ptr<sim::StreamController> stream;
    std::shared_ptr<sim::FrameController> frame;
    std::shared_ptr<sim::DeviceModel> model;
    std::vector<std::uint8_t> file;
    if (c.stream) {
        stream = std::make_shared<sim::StreamController>();
        model = stream;
        file = sim::SampleStreamFile(c.size, 138);
    } else {
        sim::FrameControllerConfig config;
        config.deviceType = c.deviceType;
        config.versionWord = 137;
        frame = std::make_shared<sim::FrameController>(config);
        model = frame;
        file = sim::SampleFrameFile(c.deviceType, c.size, 138);
    }
    auto faulty = std::make_shared<sim::FaultyDevice>(model, c.stream ? 1 : 0, 7);
    sim::ApplyFaults({fault}, *faulty, h.bus, stream.get(), frame.get());
    h.bus.Plug(c.stream ? test::kStreamIds : test::kFrameIds, faulty, {}, false);
    h.firmwarePath = h.TempFile("fw.dat", file);

    const auto start = std::chrono::steady_clock::now();
    h.Start();
    std::string outcome;
    if (!h.Window().ControlSnapshot(IDC_USB_UPDATE).enabled) {
        outcome = "not connected";
    } else {
        ASSERT_TRUE(h.RunUpdate(30000)) << "the update did not end";
        EXPECT_EQ(h.WorkersEnded(), 1);
        bool successBox = false;
        for (const auto& b : h.toolkit.Boxes()) successBox |= b.text == "\n Firmware upgraded! \n";
        const bool succeeded = h.Dlg().LastOutcome() == UpdateOutcome::kSucceeded;
        EXPECT_EQ(successBox, succeeded);
        if (succeeded) {
            const std::vector<std::uint8_t> image = sim::ImageFor(file, c.deviceType);
            const std::vector<std::uint8_t> stored =
                stream ? stream->StoredImage()
                       : frame->ReadFlash(AddressMapFor(c.deviceType).appBase,
                                          static_cast<std::uint32_t>(c.size));
            EXPECT_EQ(stored, image) << "success reported for a wrong image";
            outcome = "success, image exact";
        } else {
            outcome = "failed";
            for (const auto& b : h.toolkit.Boxes()) {
                if (b.text == "Firmware update failure\n") outcome = "failed, box";
            }
        }
    }
    h.Close();
    EXPECT_FALSE(h.Running());
    const double realMs =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    g_Rows.push_back({run.faultText, PointName(run.point), c.name, outcome, h.clock.Now(), realMs});
}

std::string WithN(const char* name, std::uint32_t n, const char* tail = "") {
    return std::string(name) + ":" + std::to_string(n) + tail;
}

TEST(FaultMatrix, EveryRunEndsHonestly) {
    const Config configs[] = {
        {"stream 100", true, std::nullopt, 100},      {"stream 1000", true, std::nullopt, 1000},
        {"frame 0x3009 100", false, 0x3009, 100},     {"frame 0x6006 1000", false, 0x6006, 1000},
        {"frame none 300", false, std::nullopt, 300},
    };
    const Point points[] = {Point::kConnection,  Point::kSelection, Point::kPrepare,
                            Point::kFirst,       Point::kMiddle,    Point::kLast,
                            Point::kVersionWord, Point::kFinish};
    std::vector<FaultRun> runs;
    for (const Config& c : configs) {
        for (const Point p : points) {
            const std::uint32_t x = ExchangeAt(c, p);
            const std::uint32_t u = UnitAt(c, p);
            for (const std::string& f :
                 {WithN("drop", x), WithN("delay", x, ":400"), WithN("dup", x), WithN("garbage", x),
                  WithN("lead", x), WithN("silent", x), WithN("write-fail", x),
                  WithN("read-fail", x), WithN("unplug", u)}) {
                runs.push_back({c, f, p});
            }
            if (c.stream) {
                runs.push_back({c, WithN("fail", u), p});
                runs.push_back({c, WithN("error", u), p});
            } else {
                runs.push_back({c, WithN("late", x), p});
            }
        }
        if (!c.stream) runs.push_back({c, "ignore-finish", Point::kFinish});
    }
    for (const FaultRun& run : runs) RunOne(run);

    std::printf("\n%-18s %-12s %-18s %-22s %12s %10s\n", "fault", "point", "controller", "outcome",
                "virtual ms", "real ms");
    for (const Row& r : g_Rows) {
        std::printf("%-18s %-12s %-18s %-22s %12.0f %10.1f\n", r.fault.c_str(), r.point.c_str(),
                    r.config.c_str(), r.outcome.c_str(), r.virtualMs, r.realMs);
    }
    EXPECT_EQ(g_Rows.size(), runs.size());
}

}  // namespace
