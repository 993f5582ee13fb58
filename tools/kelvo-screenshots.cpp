// Screenshots of the window for the README: the real window shown on the
// display (Xvfb in scripts/screenshots.sh), at work against simulated
// modules - a KelvoRS on COM3 and a KelvoUSB on the simulated D2XX
// library - one PNG per page.
//
//   kelvo-screenshots OUTPUT_DIR
//
// The language files are read from the folder of kelvosetup (given by
// KELVO_LANGUAGE_DIR, else this program's folder).

#include <QApplication>
#include <QDir>
#include <QGuiApplication>
#include <QScreen>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QWindow>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <utility>
#include <vector>

#include "uLanguage.h"
#include "uMain.h"
#include "uMainThreadQueue.h"
#include "uSimPty.h"
#include "uTextFit.h"
#include "uci_FTDIdirect.h"
#include "uci_FTDImanager.h"

using namespace kelvo;

namespace {

void Settle()
{
    for (int i = 0; i < 5; ++i) {
        QCoreApplication::processEvents();
        TMainThreadQueue::Drain();
        QThread::msleep(40);
    }
}

bool Shoot(TfMain& Form, const QString& File)
{
    Settle();
    QPixmap shot;
    if (QScreen* screen = Form.screen(); screen && QGuiApplication::platformName() == QLatin1String("xcb"))
        shot = screen->grabWindow(Form.winId());
    if (shot.isNull())
        shot = Form.grab();
    if (!shot.save(File)) {
        std::fprintf(stderr, "kelvo-screenshots: cannot write %s\n", qPrintable(File));
        return false;
    }
    std::printf("%s\n", qPrintable(File));
    // Every text fits its control, in every language.
    const QStringList clipped = ClippedTexts(&Form);
    for (const QString& c : clipped)
        std::fprintf(stderr, "kelvo-screenshots: %s: text wider than its control: %s\n", qPrintable(File),
                     qPrintable(c));
    return clipped.isEmpty();
}

void Click(TShapeEx* Button)
{
    if (Button->AllowDown())
        Button->SetDown(true);
    emit Button->clicked();
}

}  // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("KelvoSetup"));
    if (argc < 2) {
        std::fprintf(stderr, "usage: kelvo-screenshots OUTPUT_DIR\n");
        return 2;
    }
    const QDir out(QString::fromLocal8Bit(argv[1]));
    QDir().mkpath(out.path());
    if (const char* dir = std::getenv("KELVO_LANGUAGE_DIR"))
        Language().SetProgramDir(dir);
    TMainThreadQueue::Init();

    // The simulated modules.
    QTemporaryDir ports;
    ::setenv("KELVO_PORTS_DIR", ports.path().toLocal8Bit().constData(), 1);
    TSimSettings rs = DefaultSimSettings(TSimModel::KelvoRS);
    rs.UserData = "Kotelna 2";
    rs.SerialNumber = 1207;
    // Values that move quickly enough for a trend of a few seconds; channel
    // 2 swings into overrange now and then.
    for (auto& c : rs.Channels)
        c.LivePeriodMs = 8000;
    rs.Channels[1].LiveSwing = 6000;
    TSimModule module(rs);
    TSimPty pty(module);
    TSimPtyOptions options;
    options.LinkDir = ports.path().toStdString();
    options.PortNumber = 3;
    pty.Start(options);
    std::ofstream(ports.filePath(QStringLiteral("usb-FT4KLV01")).toStdString()) << "model=usb\nspeed=115200\nserial=815\n";
#ifdef KELVO_FTD2XX_SIM
    BindFTDirect(KELVO_FTD2XX_SIM);
#endif

    bool ok = true;
    // Every page in the design's Czech, then in each language file (its
    // pictures named with a suffix, "-en" for English).
    std::vector<std::pair<int, QString>> languages{{-1, QString()}};
    {
        TFTDIManager manager;
        TfMain form(nullptr, nullptr, &manager);
        form.FormCreate();
        for (int i = 0; i < form.cbbLanguage->count(); ++i) {
            const QVariant entry = form.cbbLanguage->itemData(i);
            const auto& items = Language().Items();
            if (entry.isValid() && size_t(entry.toInt()) < items.size() &&
                items[size_t(entry.toInt())].Item->LanguageId() == QLatin1String("$409"))
                languages.emplace_back(i, QStringLiteral("-en"));
        }
    }
    if (languages.size() < 2) {
        std::fprintf(stderr, "kelvo-screenshots: no English language file found\n");
        ok = false;
    }
    for (const auto& [index, suffix] : languages) {
        // A window of its own for each language, as when the program starts
        // in it: its search page has not searched yet.
        {
            TFTDIManager manager;
            TfMain form(nullptr, nullptr, &manager);
            form.FormCreate();
            form.FormShow();
            form.show();
            if (index >= 0) {
                form.cbbLanguage->setCurrentIndex(index);
                form.ApplyLanguage(index, false);
            }
            auto file = [&, suffix = suffix](const char* Name) {
                return out.filePath(QLatin1String(Name) + suffix + QStringLiteral(".png"));
            };
            ok &= Shoot(form, file("search-empty"));
            Click(form.sSearch);
            ok &= Shoot(form, file("search"));
            form.shpxSearchSettingsClick();
            ok &= Shoot(form, file("search-settings"));
            form.shpxSearchSettingsClick();

            // Connecting to a module that keeps the window waiting, then
            // "Přerušit".
            TSimFaults silent;
            silent.Silent = true;
            module.SetFaults(silent);
            form.lbFoundedModules->setCurrentRow(0);  // the KelvoRS
            QTimer::singleShot(1200, &form, [&, file] {
                ok &= Shoot(form, file("connecting"));
                Click(form.sCancel);
            });
            Click(form.sConnect);
            module.SetFaults({});

            Click(form.sConnect);
            form.Logic().MeasureTick();
            form.Logic().AwaitTick();
            ok &= Shoot(form, file("measure"));
            // Half a minute of history, sampled faster than the window does.
            Click(form.sbTrend);
            for (int i = 0; i < 120; ++i) {
                form.Logic().MeasureTick();
                form.Logic().AwaitTick();
                QThread::msleep(70);
            }
            Click(form.sTrendMinute);
            ok &= Shoot(form, file("trend"));
            Click(form.sbCommunication);
            ok &= Shoot(form, file("connection"));
            Click(form.sbChannel1);
            ok &= Shoot(form, file("channel"));

            // No two replies agree any more: the read after "Opakovat" fails.
            TSimFaults unstable;
            unstable.Unstable = true;
            module.SetFaults(unstable);
            form.Logic().Retry();
            ok &= Shoot(form, file("error"));
            module.SetFaults({});
            form.Logic().Retry();
            form.Logic().Disconnect();
        }
    }
    pty.Stop();
    UnbindFTDirect();
    return ok ? 0 : 1;
}
