#include "uFormPosUtils.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

#include <algorithm>

namespace kelvo {

QRect CenteredRect(const QRect& Window, const QRect& Monitor)
{
    const int w = std::min(Window.width(), Monitor.width());
    const int h = std::min(Window.height(), Monitor.height());
    return {Monitor.left() + Monitor.width() / 2 - w / 2, Monitor.top() + Monitor.height() / 2 - h / 2, w, h};
}

void CenterFormOnMonitor(QWidget* Form)
{
    if (!Form || !Form->isWindow())
        return;
    const QList<QScreen*> screens = QGuiApplication::screens();
    if (screens.isEmpty())
        return;
    // The first monitor is the primary one, where the system puts it first.
    QScreen* screen = QGuiApplication::primaryScreen() ? QGuiApplication::primaryScreen() : screens.first();
    const QRect r = CenteredRect(Form->frameGeometry(), screen->geometry());
    // A window of fixed size keeps its size; only its place changes.
    Form->move(r.topLeft());
}

}  // namespace kelvo
