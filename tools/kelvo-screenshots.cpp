// Screenshots of the window for the README: the real window shown on the
// display (Xvfb in scripts/screenshots.sh), one PNG per page and language.
//
//   kelvo-screenshots OUTPUT_DIR
//
// The language files are read from the folder of kelvosetup (given by
// KELVO_LANGUAGE_DIR, else this program's folder).

#include <QApplication>
#include <QDir>
#include <QGuiApplication>
#include <QScreen>
#include <QThread>
#include <QWindow>

#include <cstdio>
#include <cstdlib>
#include <functional>

#include "uLanguage.h"
#include "uMain.h"

using namespace kelvo;

namespace {

void Settle()
{
    for (int i = 0; i < 5; ++i) {
        QCoreApplication::processEvents();
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
    return true;
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

    TfMain form;
    form.FormCreate();
    form.FormShow();
    form.show();

    const auto english = [&] {
        for (const auto& e : Language().Items())
            if (e.Item->LanguageId() == QLatin1String("$409")) {
                Language().LoadFromFile(QString::fromStdU16String(e.Item->FileName().u16string()));
                Language().ApplyToForm(&form);
                form.cbbLanguage->setCurrentIndex(int(&e - Language().Items().data()));
                return true;
            }
        return false;
    };
    const auto pressTab = [&](TShapeEx* Tab) {
        Tab->SetDown(true);
        emit Tab->clicked();
    };

    bool ok = Shoot(form, out.filePath(QStringLiteral("search.png")));
    form.shpxSearchSettingsClick();
    ok &= Shoot(form, out.filePath(QStringLiteral("search-settings.png")));
    form.shpxSearchSettingsClick();
    pressTab(form.sbMeasuring);
    ok &= Shoot(form, out.filePath(QStringLiteral("measure.png")));
    pressTab(form.sbCommunication);
    ok &= Shoot(form, out.filePath(QStringLiteral("connection.png")));
    pressTab(form.sbChannel1);
    ok &= Shoot(form, out.filePath(QStringLiteral("channel.png")));
    if (english()) {
        pressTab(form.sbChannel1);
        ok &= Shoot(form, out.filePath(QStringLiteral("channel-en.png")));
        form.ShowPanel(form.pSearch, false);
        ok &= Shoot(form, out.filePath(QStringLiteral("search-en.png")));
    } else {
        std::fprintf(stderr, "kelvo-screenshots: no English language file found\n");
        ok = false;
    }
    return ok ? 0 : 1;
}
