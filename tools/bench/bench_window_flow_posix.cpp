// The window at work, offscreen, against in-process simulated modules:
//  - "Připojit" to the measuring page, against the floor of the probe and
//    the identification (27 ms + 30 x 27 ms + 100 ms at 9600 bit/s);
//  - a search of 16 ports where nothing answers, at the two default
//    speeds, and one of 4 ports with modules at 4 speeds, both against the
//    slowest of their ports searched alone (the ports are probed at once);
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
#include <set>

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

    // A search as the window runs it, on the ports given, at the speeds
    // given; the time until the search page is back (the closing second
    // included).
    auto search = [](TFixedInterfaces& Ports, const std::set<int32_t>& Speeds) {
        TLanguage lang;
        TfMain form(nullptr, &lang, nullptr, &Ports);
        form.FormCreate();
        form.FormShow();
        form.Logic().Session.SearchSpeeds = Speeds;
        const auto start = Clock::now();
        form.Logic().ScanCIs();
        const double ms = Ms(Clock::now() - start);
        return std::make_pair(ms, form.Logic().FoundRows().size());
    };
    auto ports = [](const std::vector<TSimSettings>& Modules) {
        TFixedInterfaces p;
        for (size_t i = 0; i < Modules.size(); ++i) {
            auto channel = MakeIntf<TSimSerialInterface>(std::make_shared<TSimModule>(Modules[i]),
                                                         "SIM" + std::to_string(i + 1), "baudrate=9600");
            p.Items.emplace_back(channel->AsInterface());
        }
        return p;
    };
    constexpr double kClosingMs = 1000;
    auto report = [&](const char* What, double All, double Single) {
        std::printf("%s\n  at once         %8.1f ms   (probing %.1f ms)\n  slowest alone   %8.1f ms   (probing %.1f ms)\n"
                    "  ratio           %8.3f   (target <= 1.2; probing alone %.3f)\n",
                    What, All, All - kClosingMs, Single, Single - kClosingMs, All / Single,
                    (All - kClosingMs) / (Single - kClosingMs));
    };
    {
        TSimSettings silent = DefaultSimSettings();
        silent.Faults.Silent = true;
        TFixedInterfaces sixteen = ports(std::vector<TSimSettings>(16, silent));
        TFixedInterfaces one = ports({silent});
        const double all = search(sixteen, {9600, 115200}).first;
        const double single = search(one, {9600, 115200}).first;
        report("search of 16 silent ports at 9600 and 115200 bit/s", all, single);
    }
    {
        // Four modules, each at a speed of its own; every speed checked.
        std::vector<TSimSettings> modules;
        for (uint8_t code : {6, 7, 8, 10}) {  // 9600, 19200, 38400, 115200
            TSimSettings m = DefaultSimSettings(TSimModel::KelvoRS);
            m.SpeedCode = code;
            modules.push_back(m);
        }
        const std::set<int32_t> speeds{9600, 19200, 38400, 115200};
        TFixedInterfaces four = ports(modules);
        const auto [all, found] = search(four, speeds);
        double slowest = 0;
        for (const TSimSettings& m : modules) {
            TFixedInterfaces one = ports({m});
            slowest = std::max(slowest, search(one, speeds).first);
        }
        report("search of 4 ports with a module each at 9600, 19200, 38400 and 115200 bit/s", all, slowest);
        std::printf("  modules found   %8zu of 4\n", found);
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
