#include "uDesignStyle.h"

namespace kelvo {

void InstallFontFallbacks()
{
    static const bool done = [] {
        const QStringList fallbacks{QStringLiteral("Liberation Sans"), QStringLiteral("DejaVu Sans")};
        QFont::insertSubstitutions(kCaptionFamily, fallbacks);
        QFont::insertSubstitutions(kWindowFamily, fallbacks);
        return true;
    }();
    (void)done;
}

QFont DesignFont(const QString& Family, int PixelHeight, bool Bold, bool Italic)
{
    QFont f(Family);
    f.setPixelSize(PixelHeight);
    f.setBold(Bold);
    f.setItalic(Italic);
    return f;
}

}  // namespace kelvo
