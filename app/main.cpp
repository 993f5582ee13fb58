// kelvosetup: the program with the window. Start-up order: the diagnostic
// log decides from the command line whether it writes, and the data trace
// whether it forwards; the FTDI driver is bound (the program runs without
// it); the device manager follows plug events from the main thread; the
// language object exists before the window; the window is created
// (FormCreate), shown on the search page (FormShow), and the event loop
// runs. Finalisation runs in the reverse order.

#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>

#include <chrono>
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

// KELVO_EXIT_AFTER_PAINT (the start-up benchmark): when the first paint of
// the window has been delivered, print the milliseconds since main began
// and leave the event loop.
class TFirstPaintWatch : public QObject {
public:
    TFirstPaintWatch(QWidget* Form, std::chrono::steady_clock::time_point Start) : FStart(Start)
    {
        Form->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject* Watched, QEvent* Event) override
    {
        if (Event->type() == QEvent::Paint && !FDone) {
            FDone = true;
            QTimer::singleShot(0, [this] {
                const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - FStart).count();
                std::printf("first-paint-ms %.1f\n", ms);
                std::fflush(stdout);
                QCoreApplication::quit();
            });
        }
        return QObject::eventFilter(Watched, Event);
    }

private:
    std::chrono::steady_clock::time_point FStart;
    bool FDone = false;
};

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
    std::unique_ptr<TFirstPaintWatch> watch;
    if (std::getenv("KELVO_EXIT_AFTER_PAINT"))
        watch = std::make_unique<TFirstPaintWatch>(&form, Start);
    form.show();
    return App.exec();
}

}  // namespace
