// One traffic plot of the statistics window: the last 180 samples of the
// compressed and the uncompressed rate (kbit/s, left scale) and of the
// packet loss (per cent, right scale), newest on the right.
#pragma once

#include <QTime>

#include <qwt_plot.h>
#include <qwt_plot_curve.h>
#include <qwt_scale_draw.h>

class TrafCurve : public QwtPlotCurve {
public:
    explicit TrafCurve(const QString& title) : QwtPlotCurve(title) {}
    ~TrafCurve() override;
};

// Labels sample positions with the wall-clock time they stand for, one
// sample a second after the base time.
class TimeScaleDraw : public QwtScaleDraw {
public:
    explicit TimeScaleDraw(const QTime& base) : base_time_(base) {}
    ~TimeScaleDraw() override;
    QwtText label(double v) const override;

private:
    QTime base_time_;
};

class StatPlot : public QwtPlot {
    Q_OBJECT

public:
    static constexpr int sample_capacity = 180;
    enum series_index { compressed = 0, uncompressed = 1, packetloss = 2 };

    explicit StatPlot(QWidget* parent);

    // v[0] compressed, v[1] uncompressed (kbit/s), v[2] loss (per cent).
    void addSample(const double v[3]);

    int sampleCount() const { return count_; }
    // Index 0 is the newest sample; the first sampleCount() entries count.
    const double* positions() const { return x_; }
    const double* values(int series) const { return series_[series].y; }
    const TrafCurve* curve(int series) const { return series_[series].curve; }

private:
    struct Series {
        TrafCurve* curve = nullptr;
        double y[sample_capacity] = {};
    };
    Series series_[3];
    double x_[sample_capacity];
    int count_ = 0;
};
