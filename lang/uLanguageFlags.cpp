#include "uLanguageFlags.h"

#include <QFile>
#include <QPainter>
#include <QSvgRenderer>

namespace kelvo {

QStringList FlagCountryCodes()
{
    return {QStringLiteral("CZ"), QStringLiteral("GB")};
}

QString FlagResource(const QString& CountryCode)
{
    const QString path = QStringLiteral(":/kelvo/flags/FLAG_%1.svg").arg(CountryCode.toUpper());
    return QFile::exists(path) ? path : QString();
}

QPixmap LanguageFlag(const QString& CountryCode, QSize Size)
{
    const QString path = FlagResource(CountryCode);
    if (path.isEmpty())
        return {};
    QSvgRenderer svg(path);
    if (!svg.isValid())
        return {};
    QPixmap pixmap(Size);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    svg.render(&p, QRectF(0, 0, Size.width(), Size.height()));
    return pixmap;
}

}  // namespace kelvo
