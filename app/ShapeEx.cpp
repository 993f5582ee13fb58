#include "ShapeEx.h"

#include <QEnterEvent>
#include <QMouseEvent>
#include <QPainter>

#include <algorithm>
#include <cmath>

namespace kelvo {

TShapeExLook PickShapeExLook(bool AllowDown, bool Down, bool Hover, bool Enabled)
{
    if (!Enabled)
        return TShapeExLook::Disabled;
    if (AllowDown && Down)
        return TShapeExLook::Down;
    return Hover ? TShapeExLook::OnMouse : TShapeExLook::Default;
}

bool DownAfterRelease(bool Down, bool AllowDown, bool AllowUp)
{
    if (Down && AllowUp)
        return false;
    if (!Down && AllowDown)
        return true;
    return Down;
}

TShapeExColors TShapeExColorSchema::Colors(TShapeExLook Look) const
{
    switch (Look) {
    case TShapeExLook::OnMouse:
        return {OnMouseBrushColor, OnMouseFontColor, OnMouseBorderColor};
    case TShapeExLook::Down:
        return {DownBrushColor, DownFontColor, DownBorderColor};
    case TShapeExLook::Disabled:
        return {DisabledBrushColor, DisabledFontColor, DisabledBorderColor};
    case TShapeExLook::Default:
        break;
    }
    return {DefaultBrushColor, DefaultFontColor, DefaultBorderColor};
}

TShapeEx::TShapeEx(QWidget* Parent) : QWidget(Parent)
{
    setAttribute(Qt::WA_Hover, false);
    setMouseTracking(false);
}

void TShapeEx::SetShape(TShapeType V)
{
    FShape = V;
    update();
}

void TShapeEx::SetRoundCorner(int V)
{
    if (V != FRoundCorner) {
        FRoundCorner = V;
        update();
    }
}

void TShapeEx::SetCaption(const QString& V)
{
    if (V != FCaption) {
        FCaption = V;
        update();
    }
}

void TShapeEx::SetColorSchema(TShapeExColorSchema* V)
{
    if (V != FSchema) {
        FSchema = V;
        update();
    }
}

void TShapeEx::SetDown(bool V)
{
    if (V && FGroup != 0 && parentWidget()) {
        for (QObject* o : parentWidget()->children())
            if (auto* other = qobject_cast<TShapeEx*>(o); other && other != this && other->FGroup == FGroup)
                other->SetDown(false);
    }
    if (V != FDown) {
        FDown = V;
        update();
    }
}

void TShapeEx::SetBrushColor(const QColor& V)
{
    FBrushColor = V;
    update();
}

void TShapeEx::SetPenColor(const QColor& V)
{
    FPenColor = V;
    update();
}

void TShapeEx::SetPenWidth(int V)
{
    FPenWidth = std::max(0, V);
    update();
}

void TShapeEx::SetFontColor(const QColor& V)
{
    FFontColor = V;
    update();
}

TShapeExColors TShapeEx::CurrentColors() const
{
    if (FSchema)
        return FSchema->Colors(PickShapeExLook(FAllowDown, FDown, FHover, isEnabled()));
    return {FBrushColor, FFontColor, FPenColor};
}

void TShapeEx::paintEvent(QPaintEvent*)
{
    const TShapeExColors c = CurrentColors();
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing, FShape != stRectangle && FShape != stSquare);

    // The bounds less half the pen; a pen of width 0 still draws one pixel.
    const int pw = FPenWidth;
    int x = pw / 2, y = pw / 2;
    int w = width() - pw + 1, h = height() - pw + 1;
    if (pw == 0) {
        --w;
        --h;
    }
    if (FShape == stSquare || FShape == stRoundSquare || FShape == stCircle) {
        const int side = std::min(w, h);
        x += (w - side) / 2;
        y += (h - side) / 2;
        w = h = side;
    }
    // Outline through the middle of the edge pixels.
    const QRectF r(x + 0.5, y + 0.5, std::max(0, w - 1), std::max(0, h - 1));
    QPen pen(c.Border);
    pen.setWidth(std::max(1, pw));
    p.setPen(pen);
    p.setBrush(c.Brush);
    switch (FShape) {
    case stRoundRect:
    case stRoundSquare:
        p.drawRoundedRect(r, FRoundCorner / 2.0, FRoundCorner / 2.0);
        break;
    case stEllipse:
    case stCircle:
        p.drawEllipse(r);
        break;
    default:
        p.drawRect(r);
        break;
    }

    if (!FCaption.isEmpty()) {
        p.setFont(font());
        p.setPen(c.Font);
        const QFontMetrics fm(font());
        const double cx = x + w / 2.0, cy = y + h / 2.0;
        const int tx = int(std::lround(cx - fm.horizontalAdvance(FCaption) / 2.0));
        const int ty = int(std::lround(cy - fm.height() / 2.0)) - 1;
        p.drawText(tx, ty + fm.ascent(), FCaption);
    }
}

void TShapeEx::enterEvent(QEnterEvent* Event)
{
    FHover = true;
    update();
    QWidget::enterEvent(Event);
}

void TShapeEx::leaveEvent(QEvent* Event)
{
    FHover = false;
    update();
    QWidget::leaveEvent(Event);
}

void TShapeEx::mouseReleaseEvent(QMouseEvent* Event)
{
    if (Event->button() != Qt::LeftButton) {
        QWidget::mouseReleaseEvent(Event);
        return;
    }
    SetDown(DownAfterRelease(FDown, FAllowDown, FAllowUp));
    if (rect().contains(Event->position().toPoint()))
        emit clicked();
}

void TShapeEx::changeEvent(QEvent* Event)
{
    if (Event->type() == QEvent::EnabledChange)
        update();
    QWidget::changeEvent(Event);
}

}  // namespace kelvo
