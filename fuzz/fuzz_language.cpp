// Language files from beside the program: anyone can drop one there. The
// input is read as a language document and applied to the main window,
// built offscreen; now and then the window is painted with what the file
// set. Whatever the file holds, reading and applying may refuse it with a
// message but must not crash, hang or trip a sanitizer. The window is
// built anew from time to time so that what one input set does not pile
// up without end.

#include <QApplication>
#include <QPixmap>

#include <cstdint>
#include <memory>
#include <string_view>

#include "FuzzSupport.h"  // undefined behaviour stops the run
#include "uLanguage.h"
#include "uMain.h"
#include "uMessageSink.h"

using namespace kelvo;

namespace {

struct TWindow {
    TLanguage Lang;
    std::unique_ptr<TfMain> Form;
    unsigned Runs = 0;

    void Renew()
    {
        Form.reset();
        Form = std::make_unique<TfMain>(nullptr, &Lang);
        Form->cbADR->addItems({"0", "1", "2"});
    }
};

TWindow& Window()
{
    static TWindow w;
    return w;
}

}  // namespace

// fontconfig keeps its caches to the end of the process; the leak checker
// after each input would count them.
extern "C" const char* __lsan_default_suppressions()
{
    return "leak:libfontconfig.so\n";
}

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static QApplication app(*argc, *argv);
    // Qt's warnings about odd property values would fill the run's log.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    static TScopedMessageSink quiet([](const std::string&) {});
    Window().Renew();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    TWindow& w = Window();
    if (++w.Runs % 64 == 0)
        w.Renew();
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    w.Lang.LoadFromString(text);
    w.Lang.ApplyToForm(w.Form.get());
    if (w.Runs % 8 == 0) {
        // Painting applies what was set (fonts, colours, captions, sizes).
        const QSize size = w.Form->size().boundedTo(QSize(2000, 2000));
        QPixmap target(size.isEmpty() ? QSize(1, 1) : size);
        w.Form->render(&target);
    }
    return 0;
}
