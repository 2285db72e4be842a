#pragma once
// A small plot of a mapping's last minute of rates, both directions, scaled to its peak.

#include <QWidget>
#include <vector>

#include "core/traffic_meter.h"

namespace ui {

class RatePlot : public QWidget {
    Q_OBJECT
public:
    explicit RatePlot(QWidget* parent = nullptr);

    // Oldest first, one point a second; the newest is drawn at the right edge.
    void setHistory(std::vector<core::RatePoint> history);
    const std::vector<core::RatePoint>& history() const { return m_history; }
    // The highest rate either way, which the vertical axis reaches.
    double peak() const;

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    std::vector<core::RatePoint> m_history;
};

} // namespace ui
