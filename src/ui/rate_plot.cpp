#include "ui/rate_plot.h"

#include <QPainter>
#include <QPainterPath>
#include <algorithm>

#include "ui/monitor_records_model.h"
#include "ui/traffic_text.h"

using namespace Qt::StringLiterals;

namespace ui {

RatePlot::RatePlot(QWidget* parent) : QWidget(parent) {
    setMinimumHeight(70);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

QSize RatePlot::sizeHint() const {
    return {480, fontMetrics().height() * 2 + 72};
}

void RatePlot::setHistory(std::vector<core::RatePoint> history) {
    m_history = std::move(history);
    update();
}

double RatePlot::peak() const {
    double peak = 0;
    for (const core::RatePoint& point : m_history)
        peak = std::max({peak, point.toDevice, point.toApp});
    return peak;
}

void RatePlot::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), Qt::white);
    const QFontMetrics metrics = fontMetrics();
    const int line = metrics.height();
    // The labels above, the time axis below; the curves in between.
    const QRect area = rect().adjusted(6, line + 4, -6, -line - 2);
    if (area.width() < 10 || area.height() < 10)
        return;
    painter.setPen(QColor(200, 200, 200));
    painter.drawRect(area);
    painter.drawLine(area.left(), area.center().y(), area.right(), area.center().y());

    const double top = peak();
    painter.setPen(QColor(60, 60, 60));
    painter.drawText(QRect(area.left(), 2, area.width(), line), Qt::AlignLeft | Qt::AlignVCenter,
                     u"Peak %1"_s.arg(rateText(top)));
    painter.drawText(QRect(area.left(), area.bottom() + 2, area.width(), line), Qt::AlignLeft | Qt::AlignVCenter,
                     u"\u221260 s"_s);
    painter.drawText(QRect(area.left(), area.bottom() + 2, area.width(), line), Qt::AlignRight | Qt::AlignVCenter,
                     u"now"_s);
    // The legend, right-aligned on the label line, each name in its curve's colour.
    const QString toApp = u"\u25a0 dev\u2192app"_s;
    const QString toDevice = u"\u25a0 app\u2192dev   "_s;
    const int toAppWidth = metrics.horizontalAdvance(toApp);
    const int toDeviceWidth = metrics.horizontalAdvance(toDevice);
    painter.setPen(towardAppColor());
    painter.drawText(QRect(area.right() - toAppWidth, 2, toAppWidth, line), Qt::AlignVCenter, toApp);
    painter.setPen(towardDeviceColor());
    painter.drawText(QRect(area.right() - toAppWidth - toDeviceWidth, 2, toDeviceWidth, line), Qt::AlignVCenter,
                     toDevice);
    if (m_history.empty() || top <= 0)
        return;

    // 60 slots across: a short history stays at the right, where "now" is.
    const double step = static_cast<double>(area.width()) / static_cast<double>(core::TrafficMeter::kHistory - 1);
    const std::size_t count = std::min(m_history.size(), core::TrafficMeter::kHistory);
    const std::size_t first = m_history.size() - count;
    auto curve = [&](double core::RatePoint::*rate) {
        QPainterPath path;
        for (std::size_t i = 0; i < count; ++i) {
            const double x = area.right() - step * static_cast<double>(count - 1 - i);
            const double y = area.bottom() - (m_history[first + i].*rate / top) * (area.height() - 1);
            if (i == 0)
                path.moveTo(x, y);
            else
                path.lineTo(x, y);
        }
        return path;
    };
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(towardDeviceColor(), 2.6));
    painter.drawPath(curve(&core::RatePoint::toDevice));
    // Thin and dashed over a broad line: an echo's equal rates still show both colours.
    painter.setPen(QPen(towardAppColor(), 1.4, Qt::DashLine));
    painter.drawPath(curve(&core::RatePoint::toApp));
}

} // namespace ui
