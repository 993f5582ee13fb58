#include "uTrendChart.h"

#include <QPainter>
#include <QPolygonF>

#include <algorithm>
#include <cmath>

#include "uDesignStyle.h"
#include "uModuleText.h"

namespace kelvo {

using namespace design;

namespace {

// "12.5", "1000", "0.003": a tick label with as many decimals as its step needs.
QString TickText(double V, double Step)
{
    const int decimals = Step >= 1 ? 0 : std::min(6, static_cast<int>(std::ceil(-std::log10(Step))));
    return QString::number(V, 'f', decimals);
}

// A round step that gives about Count ticks over Span.
double NiceStep(double Span, int Count)
{
    const double raw = Span / Count;
    const double power = std::pow(10.0, std::floor(std::log10(raw)));
    for (double m : {1.0, 2.0, 5.0, 10.0})
        if (raw <= m * power)
            return m * power;
    return 10 * power;
}

}  // namespace

TTrendChart::TTrendChart(QWidget* Parent) : QWidget(Parent)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void TTrendChart::SetHistory(const TTrendHistory* History)
{
    FHistory = History;
    update();
}

void TTrendChart::SetWindowMs(int64_t Ms)
{
    FWindowMs = Ms > 0 ? Ms : 60000;
    update();
}

QColor TTrendChart::ChannelColor(size_t I)
{
    static const QColor colors[] = {QColor(31, 119, 180), QColor(44, 160, 44), QColor(255, 127, 14),
                                    QColor(148, 103, 189)};
    return colors[I % 4];
}

void TTrendChart::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.fillRect(rect(), Qt::white);
    p.setPen(ColorFromTColor(kWindow));
    p.drawRect(rect().adjusted(0, 0, -1, -1));
    if (!FHistory)
        return;

    p.setFont(CaptionFont(11));
    const QFontMetrics fm = p.fontMetrics();
    const TTrendPlot plot = PlotOf(*FHistory, FWindowMs);
    // The legend, two channels a line: a swatch, the channel's name and
    // unit, and the range its line is drawn against.
    const int column = (width() - 16) / 2;
    for (size_t i = 0; i < 4; ++i) {
        const QString name = QString::fromStdString(ModuleTextToUtf8(FHistory->Names[i]));
        const QString unit = QString::fromStdString(ModuleTextToUtf8(FHistory->Units[i]));
        const auto [low, high] = plot.Scale[i];
        const QString text = (name.isEmpty() ? QStringLiteral("%1").arg(i + 1) : name)
                             + (unit.isEmpty() ? QString() : QStringLiteral(" [%1]").arg(unit))
                             + QStringLiteral("  %1 … %2").arg(QString::number(low, 'g', 6), QString::number(high, 'g', 6));
        const int x = 8 + column * static_cast<int>(i % 2);
        const int y = 6 + 15 * static_cast<int>(i / 2);
        p.fillRect(QRect(x, y + 4, 14, 4), ChannelColor(i));
        p.setPen(ColorFromTColor(kText));
        p.drawText(QRect(x + 18, y, column - 22, 15), Qt::AlignLeft | Qt::AlignVCenter,
                   fm.elidedText(text, Qt::ElideMiddle, column - 22));
    }

    const QRect area(56, 40, width() - 56 - 10, height() - 40 - 22);
    if (area.width() < 10 || area.height() < 10)
        return;
    const double span = plot.Max - plot.Min;
    auto px = [&](int64_t T) { return area.left() + area.width() * double(T - plot.StartMs) / double(FWindowMs); };
    auto py = [&](double V) { return area.bottom() - area.height() * (V - plot.Min) / span; };

    // Grid and axes: the values as shares of each channel's range, in per
    // cent, with a tick mark at every label.
    const double step = NiceStep(span * 100, 5) / 100;
    for (double v = std::ceil(plot.Min / step) * step; v <= plot.Max; v += step) {
        const double y = py(v);
        p.setPen(QColor(230, 226, 222));
        p.drawLine(QPointF(area.left(), y), QPointF(area.right(), y));
        p.setPen(ColorFromTColor(kText));
        p.drawLine(QPointF(area.left() - 4, y), QPointF(area.left(), y));
        const QString t = TickText(v * 100, step * 100) + QStringLiteral(" %");
        p.drawText(QPointF(area.left() - 6 - fm.horizontalAdvance(t), y + fm.ascent() / 2.0 - 1), t);
    }
    p.setPen(ColorFromTColor(kText));
    for (int k = 0; k <= 4; ++k) {
        const int64_t before = FWindowMs * (4 - k) / 4;
        const double xk = area.left() + area.width() * k / 4.0;
        const QString t = before == 0 ? QStringLiteral("0")
                          : before % 60000 == 0 ? QStringLiteral("-%1 min").arg(before / 60000)
                                                : QStringLiteral("-%1 s").arg(before / 1000);
        p.drawLine(QPointF(xk, area.bottom()), QPointF(xk, area.bottom() + 4));
        p.drawText(QPointF(xk - fm.horizontalAdvance(t) / 2.0, area.bottom() + fm.ascent() + 6), t);
    }
    p.drawRect(area);

    // The lines, run by run; then the marks of overranged samples.
    // Smooth lines where they are few; an hour's dense lines are drawn
    // plain, which keeps a redraw of the full history well under 10 ms.
    size_t points = 0;
    for (const auto& runs : plot.Runs)
        for (const auto& run : runs)
            points += run.size();
    const bool smooth = points <= 4 * 600;
    p.setRenderHint(QPainter::Antialiasing, smooth);
    p.setClipRect(area.adjusted(1, 1, 0, 0));
    for (size_t i = 0; i < 4; ++i) {
        p.setPen(QPen(ChannelColor(i), smooth ? 1.5 : 0));
        for (const auto& run : plot.Runs[i]) {
            if (run.size() == 1) {
                p.drawPoint(QPointF(px(run[0].TimeMs), py(run[0].Value)));
                continue;
            }
            // More samples than pixels (an hour on 600 pixels): per pixel
            // column the first, lowest, highest and last value keep the
            // line's shape at a fraction of the points.
            QPolygonF line;
            line.reserve(static_cast<qsizetype>(std::min<size_t>(run.size(), 4 * static_cast<size_t>(area.width()))));
            size_t k = 0;
            while (k < run.size()) {
                const int column = static_cast<int>(px(run[k].TimeMs));
                size_t end = k + 1;
                size_t lo = k, hi = k;
                while (end < run.size() && static_cast<int>(px(run[end].TimeMs)) == column) {
                    if (run[end].Value < run[lo].Value)
                        lo = end;
                    if (run[end].Value > run[hi].Value)
                        hi = end;
                    ++end;
                }
                size_t last = run.size();
                for (size_t j : {k, std::min(lo, hi), std::max(lo, hi), end - 1}) {
                    if (j != last)
                        line << QPointF(px(run[j].TimeMs), py(run[j].Value));
                    last = j;
                }
                k = end;
            }
            p.drawPolyline(line);
        }
    }
    p.setPen(QPen(ColorFromTColor(kOverrange), 1.5));
    for (size_t i = 0; i < 4; ++i)
        for (const TTrendPoint& o : plot.Overrange[i]) {
            const QPointF c(px(o.TimeMs), py(o.Value));
            p.drawLine(c + QPointF(-3, -3), c + QPointF(3, 3));
            p.drawLine(c + QPointF(-3, 3), c + QPointF(3, -3));
        }
}

}  // namespace kelvo
