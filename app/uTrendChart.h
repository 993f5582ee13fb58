#pragma once
// The chart of the trend page: the four measured values over a time
// window that ends at the last sample, one colour per channel, each against
// its own range (the axis in per cent of it), gaps where a tick brought no
// value or none came, overranged samples marked in red, and a legend with
// each channel's name, unit and range. It draws what the history holds; it
// decides nothing about what is sampled.

#include <QWidget>

#include <cstdint>

#include "uTrendHistory.h"

namespace kelvo {

class TTrendChart : public QWidget {
    Q_OBJECT

public:
    explicit TTrendChart(QWidget* Parent = nullptr);

    // The history drawn (it must outlive the chart, or be cleared here).
    void SetHistory(const TTrendHistory* History);
    void SetWindowMs(int64_t Ms);
    int64_t WindowMs() const { return FWindowMs; }

    // The colour of channel I (0-3).
    static QColor ChannelColor(size_t I);

protected:
    void paintEvent(QPaintEvent* Event) override;

private:
    const TTrendHistory* FHistory = nullptr;
    int64_t FWindowMs = 60000;
};

}  // namespace kelvo
