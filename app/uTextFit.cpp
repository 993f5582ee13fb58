#include "uTextFit.h"

#include <QCheckBox>
#include <QLabel>
#include <QStyle>

#include <algorithm>

#include "ShapeEx.h"

namespace kelvo {

namespace {

// The room a check box leaves for its text: its box and the gap after it.
int CheckBoxTextRoom(const QCheckBox* Box)
{
    const int indicator = Box->style()->pixelMetric(QStyle::PM_IndicatorWidth, nullptr, Box);
    const int spacing = Box->style()->pixelMetric(QStyle::PM_CheckBoxLabelSpacing, nullptr, Box);
    return Box->width() - indicator - spacing;
}

bool LabelClipped(const QLabel* L)
{
    const QString text = L->text();
    if (text.isEmpty() || L->textFormat() == Qt::RichText)
        return false;
    const QRect room = L->contentsRect();
    const QFontMetrics m(L->font());
    if (L->wordWrap())
        return m.boundingRect(room, Qt::TextWordWrap | static_cast<int>(L->alignment()), text).height() > room.height();
    return m.horizontalAdvance(text) > room.width();
}

}  // namespace

void FitLabelToText(QLabel* Label, int Designed, int Right)
{
    if (!Label || Label->wordWrap() || (Label->alignment() & Qt::AlignRight))
        return;
    const int needed = QFontMetrics(Label->font()).horizontalAdvance(Label->text()) + 2;
    const int room = std::max(Designed, Right - Label->x());
    Label->resize(std::clamp(needed, Designed, room), Label->height());
}

QStringList ClippedTexts(QWidget* Root)
{
    QStringList out;
    for (QWidget* w : Root->findChildren<QWidget*>()) {
        if (!w->isVisibleTo(Root))
            continue;
        bool clipped = false;
        QString text;
        if (auto* l = qobject_cast<QLabel*>(w)) {
            text = l->text();
            clipped = LabelClipped(l);
        } else if (auto* c = qobject_cast<QCheckBox*>(w)) {
            text = c->text();
            clipped = !text.isEmpty() && QFontMetrics(c->font()).horizontalAdvance(text) > CheckBoxTextRoom(c);
        } else if (auto* s = qobject_cast<TShapeEx*>(w)) {
            text = s->Caption();
            // The rounded corners take their share of a button's width.
            clipped = !text.isEmpty() && QFontMetrics(s->font()).horizontalAdvance(text) > s->width() - 4;
        }
        if (clipped)
            out << w->objectName() + QStringLiteral(": ") + text;
    }
    return out;
}

}  // namespace kelvo
