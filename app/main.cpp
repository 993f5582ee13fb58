// kelvosetup: the program with the window. Start-up order: the diagnostic
// log decides from the command line whether it writes; the language object
// exists before the window; the window is created (FormCreate), shown on
// the search page (FormShow), and the event loop runs.

#include <QApplication>
#include <QMessageBox>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "uDesignStyle.h"
#include "uLanguage.h"
#include "uLogUtils.h"
#include "uMain.h"
#include "uMessageSink.h"

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

}  // namespace

int main(int argc, char** argv)
{
    const auto start = std::chrono::steady_clock::now();
    kelvo::LogStartup(argc, argv);
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("KelvoSetup"));
    QApplication::setApplicationDisplayName(QStringLiteral("KelvoSetup"));
    kelvo::InstallFontFallbacks();
    kelvo::Language();

    kelvo::TfMain form;
    // Messages of the lower layers and of the language files show over the
    // window.
    kelvo::TScopedMessageSink sink([&form](const std::string& Text) {
        QMessageBox::warning(&form, QApplication::applicationDisplayName(), QString::fromStdString(Text));
    });
    form.FormCreate();
    form.FormShow();
    std::unique_ptr<TFirstPaintWatch> watch;
    if (std::getenv("KELVO_EXIT_AFTER_PAINT"))
        watch = std::make_unique<TFirstPaintWatch>(&form, start);
    form.show();
    const int rc = app.exec();
    kelvo::LogShutdown();
    return rc;
}
