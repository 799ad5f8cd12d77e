#include "app/browser/PricePlot.h"

#include <algorithm>

#include <QPainter>
#include <QPainterPath>

namespace korvalot::app::browser {

PricePlot::PricePlot(LocaleFormats formats, QWidget* parent)
    : QWidget(parent), formats_(std::move(formats)) {
    setMinimumHeight(100);
}

void PricePlot::SetPoints(std::vector<Point> points) {
    std::stable_sort(points.begin(), points.end(),
                     [](const Point& a, const Point& b) { return a.time < b.time; });
    points_ = std::move(points);
    update();
}

void PricePlot::paintEvent(QPaintEvent* /*event*/) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.fillRect(rect(), palette().base());
    painter.setPen(palette().color(QPalette::Mid));
    painter.drawRect(rect().adjusted(0, 0, -1, -1));
    painter.setPen(palette().color(QPalette::Text));
    if (points_.empty()) {
        painter.drawText(rect(), Qt::AlignCenter, QStringLiteral("нет цены"));
        return;
    }
    const QFontMetrics metrics(font());
    const auto [low, high] =
        std::minmax_element(points_.begin(), points_.end(),
                            [](const Point& a, const Point& b) { return a.value < b.value; });
    const double minValue = low->value;
    const double maxValue = high->value;
    const QString maxText = formats_.Locale().toString(maxValue, 'f', 2);
    const QString minText = formats_.Locale().toString(minValue, 'f', 2);
    const int left =
        std::max(metrics.horizontalAdvance(maxText), metrics.horizontalAdvance(minText)) + 10;
    const QRect area = rect().adjusted(left, metrics.height(), -12, -2 * metrics.height());
    if (area.width() < 10 || area.height() < 10)
        return;

    const qint64 start = points_.front().time.toMSecsSinceEpoch();
    const qint64 span = std::max<qint64>(1, points_.back().time.toMSecsSinceEpoch() - start);
    const double range = maxValue - minValue;
    const auto at = [&](const Point& point) {
        const double x = points_.size() == 1
                             ? area.center().x()
                             : area.left() + area.width() *
                                                 double(point.time.toMSecsSinceEpoch() - start) /
                                                 double(span);
        const double y = range <= 0
                             ? area.center().y()
                             : area.bottom() - area.height() * (point.value - minValue) / range;
        return QPointF(x, y);
    };

    painter.setPen(palette().color(QPalette::Mid));
    painter.drawLine(area.bottomLeft(), area.bottomRight());
    painter.drawLine(area.bottomLeft(), area.topLeft());
    painter.setPen(palette().color(QPalette::Text));
    painter.drawText(QRect(0, at(*high).y() - metrics.height() / 2, left - 6, metrics.height()),
                     Qt::AlignRight | Qt::AlignVCenter, maxText);
    if (range > 0)
        painter.drawText(QRect(0, at(*low).y() - metrics.height() / 2, left - 6, metrics.height()),
                         Qt::AlignRight | Qt::AlignVCenter, minText);
    const QString format = formats_.ShortDateFormat();
    painter.drawText(QRect(area.left(), area.bottom() + 4, area.width(), metrics.height()),
                     Qt::AlignLeft, points_.front().time.date().toString(format));
    if (points_.size() > 1)
        painter.drawText(QRect(area.left(), area.bottom() + 4, area.width(), metrics.height()),
                         Qt::AlignRight, points_.back().time.date().toString(format));

    // A price holds until the run that changed it: steps, not slopes.
    QPainterPath path(at(points_.front()));
    for (std::size_t k = 1; k < points_.size(); ++k) {
        const QPointF point = at(points_[k]);
        path.lineTo(point.x(), path.currentPosition().y());
        path.lineTo(point);
    }
    path.lineTo(area.right(), path.currentPosition().y());
    QPen line(palette().color(QPalette::Highlight));
    line.setWidth(2);
    painter.setPen(line);
    painter.drawPath(path);
    painter.setBrush(palette().color(QPalette::Highlight));
    for (const Point& point : points_)
        painter.drawEllipse(at(point), 3.5, 3.5);
}

}  // namespace korvalot::app::browser
