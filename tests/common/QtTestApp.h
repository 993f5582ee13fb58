#pragma once
// The one QApplication of a Qt test program, on the offscreen platform
// unless the environment names another, with the window's font fallbacks.
// Fixtures call EnsureQtApp() in SetUp, or derive from TWithQtApp first.

#include <QApplication>
#include <QLocale>
#include <QStandardPaths>

#include <cstdlib>
#include <ostream>

// Failures print Qt strings as text.
inline void PrintTo(const QString& S, std::ostream* Os)
{
    *Os << '"' << S.toStdString() << '"';
}

// fontconfig, below Qt's fonts, keeps its caches to the end of the
// process; the leak checker of the sanitizer build would count them.
// (Inline and kept, so that every test source may include this header.)
#if defined(__GNUC__)
extern "C" __attribute__((used)) inline const char* __lsan_default_suppressions()
{
    return "leak:libfontconfig.so\n";
}
#endif

namespace kelvo::testing {

inline QApplication& EnsureQtApp()
{
    static QApplication* app = [] {
        if (!std::getenv("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
        static int argc = 1;
        static char name[] = "kelvo-tests";
        static char* argv[] = {name, nullptr};
        auto* a = new QApplication(argc, argv);
        QApplication::setApplicationName(QStringLiteral("KelvoSetup"));
        // What the window keeps for the next start goes to a folder of the
        // tests' own, never into the user's configuration.
        QStandardPaths::setTestModeEnabled(true);
        return a;
    }();
    return *app;
}

// A base of fixtures that hold widgets as members: the application exists
// before them.
struct TWithQtApp {
    TWithQtApp() { EnsureQtApp(); }
};

// Sets the default locale for the life of the object.
class TScopedLocale {
public:
    explicit TScopedLocale(const QLocale& L) : FOld(QLocale()) { QLocale::setDefault(L); }
    ~TScopedLocale() { QLocale::setDefault(FOld); }

private:
    QLocale FOld;
};

}  // namespace kelvo::testing
