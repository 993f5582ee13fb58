// Times the window: from starting kelvosetup to its first painted window
// (offscreen; the program leaves right after that paint), and applying a
// language file to the window (LoadFromFile and ApplyToForm, the two steps
// of choosing a language). Prints medians.
//
//   bench_window [runs]      (default 10)
#include <QApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QProcessEnvironment>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "BenchFigures.h"
#include "uLanguage.h"
#include "uMain.h"

using namespace kelvo;
using namespace kelvo::bench;

int main(int argc, char** argv)
{
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    // Start to first paint, the program as a user starts it.
    std::vector<double> wall, inside;
    for (int i = 0; i < runs; ++i) {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("KELVO_EXIT_AFTER_PAINT", "1");
        p.setProcessEnvironment(env);
        const auto start = Clock::now();
        p.start(QStringLiteral(KELVO_SETUP_EXE), {});
        if (!p.waitForFinished(10000) || p.exitCode() != 0) {
            std::fprintf(stderr, "bench_window: kelvosetup did not paint and leave\n");
            return 1;
        }
        wall.push_back(Ms(Clock::now() - start));
        const QByteArray out = p.readAllStandardOutput();
        const int at = out.indexOf("first-paint-ms ");
        if (at >= 0)
            inside.push_back(out.mid(at + 15).trimmed().toDouble());
    }

    // Applying a language: English and Czech in turn, on a window built here.
    Language().SetProgramDir(KELVO_SETUP_DIR);
    TfMain form;
    form.FormCreate();
    form.FormShow();
    form.show();
    QCoreApplication::processEvents();
    std::vector<double> apply;
    const char* files[] = {KELVO_SETUP_DIR "/english.lng.xml", KELVO_SETUP_DIR "/cesky.lng.xml"};
    for (int i = 0; i < 2 * runs; ++i) {
        const auto start = Clock::now();
        const bool ok = Language().LoadFromFile(QString::fromUtf8(files[i % 2])) && Language().ApplyToForm(&form);
        apply.push_back(Ms(Clock::now() - start));
        if (!ok) {
            std::fprintf(stderr, "bench_window: %s did not apply\n", files[i % 2]);
            return 1;
        }
    }

    std::printf("start to first paint: %.1f ms median of %d starts (%.1f ms of it inside main; target <= 300 ms)\n",
                Median(wall), runs, Median(inside));
    std::printf("language file applied: %.2f ms median of %d (target <= 30 ms)\n", Median(apply), 2 * runs);
    return 0;
}
