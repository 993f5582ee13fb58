// kelvosetup: the program with the window. Start-up order: the diagnostic
// log decides from the command line whether it writes, and the data trace
// whether it forwards; the FTDI driver is bound (the program runs without
// it); the device manager follows plug events from the main thread; the
// language object exists before the window; the window is created
// (FormCreate), shown on the search page (FormShow), and the event loop
// runs. Finalisation runs in the reverse order.
//
// KELVO_LANGUAGE starts the window in that language (a file name or the
// name the combo shows). KELVO_SNAPSHOT=DIR writes, once the window has
// been drawn, DIR/window.png and its texts DIR/texts.lng.xml (as the
// hidden "Gen" button exports them), and ends the program: a look at an
// installed program without a screen, and a picture for a bug report.

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>

#include <chrono>
#include <functional>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "uDesignStyle.h"
#include "uLanguage.h"
#include "uLogUtils.h"
#include "uMain.h"
#include "uMainThreadQueue.h"
#include "uMessageSink.h"
#include "uci_FTDIdirect.h"
#include "uci_FTDImanager.h"
#include "uci_ICommunicationInterface.h"

namespace {

// Runs Done once, after the first paint of Form has been delivered, and
// leaves the event loop.
class TFirstPaintWatch : public QObject {
public:
    TFirstPaintWatch(QWidget* Form, std::function<void()> Done) : FDone(std::move(Done))
    {
        Form->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject* Watched, QEvent* Event) override
    {
        if (Event->type() == QEvent::Paint && FDone) {
            QTimer::singleShot(0, [done = std::move(FDone)] {
                done();
                QCoreApplication::quit();
            });
            FDone = nullptr;
        }
        return QObject::eventFilter(Watched, Event);
    }

private:
    std::function<void()> FDone;
};

// Chooses the language Wanted names as the combo would; false when no file
// found is that language.
bool StartInLanguage(kelvo::TfMain& Form, const QString& Wanted)
{
    const auto& items = kelvo::Language().Items();
    for (int i = 0; i < Form.cbbLanguage->count(); ++i) {
        const int entry = Form.cbbLanguage->itemData(i).toInt();
        if (entry < 0 || size_t(entry) >= items.size())
            continue;
        const auto& e = items[size_t(entry)];
        if (e.Name.compare(Wanted, Qt::CaseInsensitive) == 0 ||
            e.Item->DisplayName().compare(Wanted, Qt::CaseInsensitive) == 0) {
            Form.cbbLanguage->setCurrentIndex(i);
            Form.cbbLanguageChange(i);
            return true;
        }
    }
    return false;
}

int RunWindow(QApplication& App, kelvo::TFTDIManager& Manager, std::chrono::steady_clock::time_point Start);

}  // namespace

int main(int argc, char** argv)
{
    const auto start = std::chrono::steady_clock::now();
    kelvo::LogStartup(argc, argv);
    kelvo::InitDataTrace(argc, argv);
    QApplication app(argc, argv);
    // Work that threads hand to the main thread (plug events, the serial
    // ports' events) runs from the event loop.
    kelvo::TMainThreadQueue::Init();
    kelvo::TMainThreadQueue::SetWakeUp([] {
        QMetaObject::invokeMethod(qApp, [] { kelvo::TMainThreadQueue::Drain(); }, Qt::QueuedConnection);
    });
    QApplication::setApplicationName(QStringLiteral("KelvoSetup"));
    QApplication::setApplicationDisplayName(QStringLiteral("KelvoSetup"));
    kelvo::InstallFontFallbacks();
    kelvo::Language();
    int rc = 0;
    {
        // Messages before the window exists (a driver that fails to count
        // its devices) go to stderr.
        kelvo::TScopedMessageSink early([](const std::string& Text) { std::fprintf(stderr, "%s\n", Text.c_str()); });
        kelvo::BindFTDirect();
    }
    {
        kelvo::TFTDIManager manager;
        rc = RunWindow(app, manager, start);
    }
    kelvo::UnbindFTDirect();
    kelvo::TMainThreadQueue::SetWakeUp(nullptr);
    kelvo::LogShutdown();
    return rc;
}

namespace {

int RunWindow(QApplication& App, kelvo::TFTDIManager& Manager, std::chrono::steady_clock::time_point Start)
{
    kelvo::TfMain form(nullptr, nullptr, &Manager);
    // Messages of the lower layers and of the language files show over the
    // window.
    // A message may come from a worker thread (a read runs on one): it is
    // shown from the event loop, and the worker does not wait for it.
    QPointer<kelvo::TfMain> alive(&form);
    kelvo::TScopedMessageSink sink([alive](const std::string& Text) {
        auto show = [alive, Text] {
            if (alive)
                QMessageBox::warning(alive, QApplication::applicationDisplayName(), QString::fromStdString(Text));
        };
        if (kelvo::TMainThreadQueue::IsMainThread())
            show();
        else
            kelvo::TMainThreadQueue::Post(show);
    });
    form.FormCreate();
    form.FormShow();
    if (const char* wanted = std::getenv("KELVO_LANGUAGE"); wanted && *wanted &&
        !StartInLanguage(form, QString::fromLocal8Bit(wanted)))
        std::fprintf(stderr, "kelvosetup: KELVO_LANGUAGE names no language file found: %s\n", wanted);
    std::unique_ptr<TFirstPaintWatch> watch;
    bool snapshotWritten = true;
    if (std::getenv("KELVO_EXIT_AFTER_PAINT")) {
        // The start-up benchmark: milliseconds from main to the first paint.
        watch = std::make_unique<TFirstPaintWatch>(&form, [Start] {
            const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - Start).count();
            std::printf("first-paint-ms %.1f\n", ms);
            std::fflush(stdout);
        });
    } else if (const char* dir = std::getenv("KELVO_SNAPSHOT"); dir && *dir) {
        watch = std::make_unique<TFirstPaintWatch>(&form, [&form, &snapshotWritten, dir] {
            const QDir to(QString::fromLocal8Bit(dir));
            // A new export, not one appended to an earlier snapshot's.
            QFile::remove(to.filePath(QStringLiteral("texts.lng.xml")));
            snapshotWritten = to.mkpath(QStringLiteral(".")) &&
                              form.grab().save(to.filePath(QStringLiteral("window.png")), "PNG") &&
                              kelvo::ExportLanguage(to.filePath(QStringLiteral("texts.lng.xml")),
                                                    kelvo::Language().Forms());
            if (!snapshotWritten)
                std::fprintf(stderr, "kelvosetup: the snapshot could not be written to %s\n", dir);
        });
    }
    form.show();
    const int rc = App.exec();
    return snapshotWritten ? rc : 1;
}

}  // namespace
