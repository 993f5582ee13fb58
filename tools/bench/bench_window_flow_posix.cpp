// The window at work, offscreen, against in-process simulated modules:
//  - "Připojit" to the measuring page, against the floor of the probe and
//    the identification (27 ms + 30 x 27 ms + 100 ms at 9600 bit/s);
//  - a search of 16 ports where nothing answers, at the two default
//    speeds, against 16 x 2 x (25 + 1 + 250) ms + the closing 1000 ms;
//  - the window's CPU while it measures, over a time (default 30 s);
//  - its resident memory while it measures;
//  - one redraw of the trend chart with an hour of history.
//
//   bench_window_flow [measure seconds]

#include <QApplication>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "BenchMemory_posix.h"
#include "BenchFigures.h"
#include "uLanguage.h"
#include "uMain.h"
#include "uMainThreadQueue.h"
#include "uSimSerialInterface.h"
#include "uTrendChart.h"

#include <QImage>
#include <cmath>

using namespace kelvo;
using namespace kelvo::bench;

int main(int argc, char** argv)
{
    const int measureSeconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 30;
    if (!std::getenv("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    TMainThreadQueue::Init();

    // Sixteen silent ports.
    TFixedInterfaces silentPorts;
    TSimSettings silent = DefaultSimSettings();
    silent.Faults.Silent = true;
    for (int i = 1; i <= 16; ++i) {
        auto channel = MakeIntf<TSimSerialInterface>(std::make_shared<TSimModule>(silent), "SIM" + std::to_string(i),
                                                     "baudrate=9600");
        silentPorts.Items.emplace_back(channel->AsInterface());
    }
    {
        TLanguage lang;
        TfMain form(nullptr, &lang, nullptr, &silentPorts);
        form.FormCreate();
        form.FormShow();
        const auto start = Clock::now();
        form.Logic().ScanCIs();
        const double searchMs = Ms(Clock::now() - start);
        const double floorMs = 16 * 2 * (25 + 1 + 250) + 1000.0;
        std::printf("search of 16 silent ports at 9600 and 115200 bit/s\n");
        std::printf("  time            %8.1f ms\n  floor           %8.1f ms\n  ratio           %8.3f   (target <= 1.05)\n",
                    searchMs, floorMs, searchMs / floorMs);
    }

    // One module to connect to and measure.
    TFixedInterfaces onePort;
    auto module = std::make_shared<TSimModule>(DefaultSimSettings());
    auto channel = MakeIntf<TSimSerialInterface>(module, "SIM1", "baudrate=9600");
    onePort.Items.emplace_back(channel->AsInterface());
    TLanguage lang;
    TfMain form(nullptr, &lang, nullptr, &onePort);
    form.FormCreate();
    form.FormShow();
    form.show();
    form.Logic().ScanCIs();
    std::vector<double> connects;
    for (int i = 0; i < 3; ++i) {
        form.Logic().Disconnect();
        const auto start = Clock::now();
        form.Logic().Connect(0);
        connects.push_back(Ms(Clock::now() - start));
        if (form.Logic().Page() != TPage::Measure) {
            std::fprintf(stderr, "bench_window_flow: the connect did not reach the measuring page\n");
            return 1;
        }
    }
    const double connectMs = Median(connects);
    const double connectFloor = 27 + 30 * 27 + 100.0;
    std::printf("\"Připojit\" to the measuring page (9600 bit/s, in-process module), median of 3\n");
    std::printf("  time            %8.1f ms\n  floor           %8.1f ms   (probe 27 ms + 30 x 27 ms + 100 ms)\n"
                "  ratio           %8.3f   (target <= 1.05)\n",
                connectMs, connectFloor, connectMs / connectFloor);

    // Measuring: the window's own timer, for the time given.
    const double cpuPercent = CpuPercentDuring([&] {
        QTimer::singleShot(measureSeconds * 1000, &app, &QCoreApplication::quit);
        app.exec();
    });
    std::printf("measuring for %d s\n  CPU             %8.2f %% of one core   (target <= 2 %%)\n"
                "  resident memory %8ld KiB\n",
                measureSeconds, cpuPercent, ResidentKiB());
    form.Logic().Disconnect();

    // The trend chart with an hour of once-a-second samples, a gap a minute.
    TTrendHistory history;
    std::array<TKelvoChannelRecountedValue, 4> v{};
    for (int64_t t = 0; t < 3600; ++t) {
        for (size_t i = 0; i < 4; ++i) {
            v[i].Valid = t % 60 != 0;
            v[i].Value = 10 * (i + 1) + 5 * std::sin(t / (30.0 + i));
            v[i].Overrange = t % 300 == 7;
        }
        history.Add(t * 1000, v, true);
    }
    TTrendChart chart;
    chart.resize(671, 316);
    chart.SetHistory(&history);
    chart.SetWindowMs(3600000);
    QImage image(chart.size(), QImage::Format_ARGB32_Premultiplied);
    std::vector<double> draws;
    for (int i = 0; i < 20; ++i) {
        const auto start = Clock::now();
        chart.render(&image);
        draws.push_back(Ms(Clock::now() - start));
    }
    std::printf("trend chart, 1 h of history (4 x 3600 samples), median of 20 redraws\n"
                "  time            %8.2f ms   (target < 10 ms)\n",
                Median(draws));
    return 0;
}
