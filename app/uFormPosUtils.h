#pragma once
// Placing a window on the screen.

#include <QRect>

class QWidget;

namespace kelvo {

// The window rectangle centred on Monitor: width and height first shrunk
// to the monitor's when larger, then placed so that both centres meet
// (integer halves, as the window's own placement computes them).
QRect CenteredRect(const QRect& Window, const QRect& Monitor);

// Centres a top-level window on the first monitor. Nothing happens for a
// widget that is not a window, or when there is no monitor.
void CenterFormOnMonitor(QWidget* Form);

}  // namespace kelvo
