#pragma once

#include <vector>

#include <QDateTime>
#include <QWidget>

#include "app/LocaleFormats.h"

// The selected lot's current price over the runs where it changed, drawn by hand: a step line
// of a handful of points needs no chart library, and the package keeps its dependencies.
namespace korvalot::app::browser {

class PricePlot : public QWidget {
    Q_OBJECT
public:
    struct Point {
        QDateTime time;
        double value;
    };

    explicit PricePlot(LocaleFormats formats, QWidget* parent = nullptr);

    // Points without a price are left out by the caller; none: "нет цены" is shown.
    void SetPoints(std::vector<Point> points);
    const std::vector<Point>& Points() const { return points_; }

    QSize sizeHint() const override { return {320, 160}; }
    QSize minimumSizeHint() const override { return {160, 100}; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    LocaleFormats formats_;
    std::vector<Point> points_;
};

}  // namespace korvalot::app::browser
