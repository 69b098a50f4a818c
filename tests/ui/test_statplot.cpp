// The traffic plot: the sample window, the curves over it, the loss scale.
#include <vector>

#include <gtest/gtest.h>

#include <qwt_scale_div.h>

#include "tests/ui/stat_testing.h"
#include "ui/statplot.h"

namespace {

class UiStatPlot : public ::testing::Test {
protected:
    void SetUp() override { stat_test_app(); }
    void add(StatPlot& p, double a, double b, double loss) {
        const double v[3] = {a, b, loss};
        p.addSample(v);
    }
};

TEST_F(UiStatPlot, SampleWindow) {
    StatPlot plot(nullptr);
    EXPECT_EQ(plot.sampleCount(), 0);
    add(plot, 5, 7, 0.5);
    EXPECT_EQ(plot.sampleCount(), 1);
    EXPECT_DOUBLE_EQ(plot.axisScaleDiv(QwtPlot::xBottom).lowerBound(), 1.0);
    EXPECT_DOUBLE_EQ(plot.axisScaleDiv(QwtPlot::xBottom).upperBound(), 180.0);
    for (int s = 0; s < 3; s++) {
        ASSERT_EQ(plot.curve(s)->dataSize(), 1u);
        EXPECT_DOUBLE_EQ(plot.curve(s)->sample(0).x(), 180.0);
    }
    EXPECT_DOUBLE_EQ(plot.curve(StatPlot::compressed)->sample(0).y(), 5);
    EXPECT_DOUBLE_EQ(plot.curve(StatPlot::uncompressed)->sample(0).y(), 7);
    EXPECT_DOUBLE_EQ(plot.curve(StatPlot::packetloss)->sample(0).y(), 0.5);
    EXPECT_EQ(plot.curve(StatPlot::packetloss)->yAxis(), QwtPlot::yRight);

    // After 180 samples the oldest leaves with each new one.
    for (int i = 2; i <= 181; i++) add(plot, i, 10 * i, 0);
    EXPECT_EQ(plot.sampleCount(), 180);
    EXPECT_EQ(plot.curve(StatPlot::compressed)->dataSize(), 180u);
    EXPECT_DOUBLE_EQ(plot.values(StatPlot::compressed)[0], 181);
    EXPECT_DOUBLE_EQ(plot.values(StatPlot::compressed)[179], 2);
    EXPECT_DOUBLE_EQ(plot.values(StatPlot::uncompressed)[179], 20);
    EXPECT_DOUBLE_EQ(plot.axisScaleDiv(QwtPlot::xBottom).lowerBound(), 181.0);
    EXPECT_DOUBLE_EQ(plot.axisScaleDiv(QwtPlot::xBottom).upperBound(), 360.0);
    EXPECT_DOUBLE_EQ(plot.positions()[0], 360.0);
}

TEST_F(UiStatPlot, LossScaleFollowsThePreviousSamples) {
    // Each step: the new loss, then the top of the right scale.
    const std::vector<std::vector<std::pair<double, double>>> runs = {
        {{0.5, 1.0}, {0.9, 1.0}, {0.0, 1.0}},
        {{0.0, 1.0}, {2.0, 1.0}, {0.0, 2.6}, {0.0, 2.6}},
        {{2.0, 1.0}, {1.0, 2.6}, {0.0, 2.6}},
    };
    for (size_t r = 0; r < runs.size(); r++) {
        StatPlot plot(nullptr);
        for (size_t i = 0; i < runs[r].size(); i++) {
            add(plot, 1, 1, runs[r][i].first);
            EXPECT_DOUBLE_EQ(plot.axisScaleDiv(QwtPlot::yRight).upperBound(), runs[r][i].second)
                << "run " << r << " step " << i;
            EXPECT_DOUBLE_EQ(plot.axisScaleDiv(QwtPlot::yRight).lowerBound(), 0.0);
        }
    }
    // The largest loss leaves the window after 180 samples.
    StatPlot plot(nullptr);
    add(plot, 1, 1, 5.0);
    for (int i = 0; i < 179; i++) add(plot, 1, 1, 0);
    EXPECT_NEAR(plot.axisScaleDiv(QwtPlot::yRight).upperBound(), 6.5, 1e-9);
    add(plot, 1, 1, 0);
    EXPECT_DOUBLE_EQ(plot.axisScaleDiv(QwtPlot::yRight).upperBound(), 1.0);
}

TEST_F(UiStatPlot, TimeLabels) {
    const TimeScaleDraw draw(QTime(12, 0, 0));
    EXPECT_EQ(draw.label(180.7).text().toStdString(), "12:00:01");
    EXPECT_EQ(draw.label(179).text().toStdString(), "12:00:00");
    EXPECT_EQ(draw.label(0).text().toStdString(), "11:57:01");
}

}  // namespace
