#include "ui/statplot.h"

#include <algorithm>

#include <qwt_legend.h>
#include <qwt_plot_grid.h>
#include <qwt_plot_scaleitem.h>
#include <qwt_scale_widget.h>
#include <qwt_text.h>

namespace {

// The bottom axis spans the sample window; a tick every minute.
constexpr double time_step_s = 60.0;
// The loss scale stays at 0-1 % until a loss above this shows in the window,
// then leaves 30 % headroom above the largest one.
constexpr double loss_scale_floor_pct = 0.9;
constexpr double loss_scale_headroom = 1.3;
const QColor uncompressed_colour(0, 204, 0, 255);

}  // namespace

TrafCurve::~TrafCurve() = default;

TimeScaleDraw::~TimeScaleDraw() = default;

QwtText TimeScaleDraw::label(double v) const {
    const int n = int(v);
    return QwtText(base_time_.addSecs(n - (StatPlot::sample_capacity - 1)).toString(QStringLiteral("h:mm:ss")),
                   QwtText::AutoText);
}

StatPlot::StatPlot(QWidget* parent) : QwtPlot(parent) {
    setAutoReplot(false);

    setAxisScale(xBottom, 0.0, double(sample_capacity), time_step_s);
    enableAxis(yLeft, true);
    enableAxis(yRight, true);
    enableAxis(xBottom, true);

    QwtText loss_title(tr("loss %"));
    loss_title.setColor(Qt::red);
    setAxisTitle(yRight, loss_title);
    setAxisTitle(yLeft, tr("Speed (Kbit/sec)"));

    QwtPlotGrid* grid = new QwtPlotGrid;
    QPen major = grid->majorPen();
    major.setStyle(Qt::DotLine);
    grid->setMajorPen(major);
    grid->attach(this);

    insertLegend(new QwtLegend, BottomLegend, -1.0);

    setAxisScaleDraw(xBottom, new TimeScaleDraw(QTime::currentTime()));
    setAxisLabelAlignment(xBottom, Qt::AlignRight | Qt::AlignBottom);

    axisScaleDraw(xBottom)->enableComponent(QwtAbstractScaleDraw::Backbone, false);
    axisScaleDraw(xBottom)->enableComponent(QwtAbstractScaleDraw::Ticks, false);
    axisScaleDraw(xBottom)->enableComponent(QwtAbstractScaleDraw::Labels, false);
    axisScaleDraw(yLeft)->enableComponent(QwtAbstractScaleDraw::Backbone, false);
    axisScaleDraw(yRight)->enableComponent(QwtAbstractScaleDraw::Backbone, false);

    TrafCurve* uncompressed_curve = new TrafCurve(tr("Uncompressed") + tr(" (Kbit/sec)"));
    uncompressed_curve->setRenderHint(QwtPlotItem::RenderAntialiased);
    uncompressed_curve->setPen(QPen(uncompressed_colour, 2));
    uncompressed_curve->setBrush(QBrush(uncompressed_colour, Qt::SolidPattern));
    uncompressed_curve->attach(this);
    uncompressed_curve->setVisible(true);
    uncompressed_curve->setStyle(QwtPlotCurve::Dots);
    uncompressed_curve->setZ(3.0);
    series_[uncompressed].curve = uncompressed_curve;

    TrafCurve* compressed_curve = new TrafCurve(tr("Compressed") + tr(" (Kbit/sec)"));
    compressed_curve->setRenderHint(QwtPlotItem::RenderAntialiased);
    compressed_curve->setPen(QPen(Qt::blue));
    compressed_curve->attach(this);
    compressed_curve->setVisible(true);
    compressed_curve->setZ(4.0);
    series_[compressed].curve = compressed_curve;

    TrafCurve* loss_curve = new TrafCurve(tr("Packetloss") + QStringLiteral(" (%)"));
    loss_curve->setRenderHint(QwtPlotItem::RenderAntialiased);
    loss_curve->setPen(QPen(Qt::red));
    loss_curve->attach(this);
    loss_curve->setYAxis(yRight);
    loss_curve->setVisible(true);
    loss_curve->setZ(5.0);
    series_[packetloss].curve = loss_curve;

    for (int i = 0; i < sample_capacity; i++) x_[sample_capacity - 1 - i] = i;

    // The value scales are drawn inside the canvas, against its borders.
    QwtPlotScaleItem* left_scale = new QwtPlotScaleItem(QwtScaleDraw::RightScale, 0.0);
    left_scale->setFont(axisWidget(yLeft)->font());
    left_scale->setBorderDistance(0);
    left_scale->setScaleDivFromAxis(true);
    left_scale->setZ(6.0);
    left_scale->attach(this);
    enableAxis(yLeft, false);

    QwtPlotScaleItem* right_scale = new QwtPlotScaleItem(QwtScaleDraw::LeftScale, 0.0);
    right_scale->setYAxis(yRight);
    right_scale->setFont(axisWidget(yRight)->font());
    right_scale->setBorderDistance(0);
    right_scale->setScaleDivFromAxis(true);
    right_scale->setZ(7.0);
    right_scale->attach(this);
    enableAxis(yRight, false);
}

void StatPlot::addSample(const double v[3]) {
    double max_loss = 0;
    for (int i = count_ - 1; i >= 0; i--) {
        if (i + 1 > sample_capacity - 1) continue;
        for (Series& s : series_) s.y[i + 1] = s.y[i];
        max_loss = std::max(max_loss, series_[packetloss].y[i + 1]);
    }
    for (int k = 0; k < 3; k++) series_[k].y[0] = v[k];
    if (count_ < sample_capacity) count_++;
    for (double& x : x_) x += 1.0;

    setAxisScale(xBottom, x_[sample_capacity - 1], x_[0], time_step_s);
    for (Series& s : series_) s.curve->setRawSamples(x_, s.y, count_);
    setAxisScale(yRight, 0.0, max_loss > loss_scale_floor_pct ? max_loss * loss_scale_headroom : 1.0);
    replot();
}
