#pragma once
// The three plots under the history's table, drawn with QPainter: frames
// per second over time by type, the histogram of gaps between frames, and
// the rate of bad frames and NAKs over time. A click on a plot names the
// row under it: the first row of the time bucket, or the first frame whose
// gap falls in the bar.

#include "historyplots.h"

#include <QWidget>

class PlotWidget : public QWidget
{
    Q_OBJECT

public:
    enum Plot { Rate, Gaps, Trouble, PlotCount };

    explicit PlotWidget(QWidget* parent = nullptr);

    void setData(History::PlotData figures);
    const History::PlotData& plotData() const { return m_data; }
    // Where a plot is drawn, for a click on it.
    QRect plotArea(Plot plot) const;

    QSize sizeHint() const override;

Q_SIGNALS:
    // The index row under a click.
    void rowClicked(std::size_t row);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;

private:
    void drawFrame(QPainter& p, Plot plot, const QString& title, double top) const;
    // A line over the buckets through value(bucket), scaled to top.
    template <class Value>
    void drawLine(QPainter& p, const QRect& area, double top, const QColor& color, Value value) const;
    void drawRates(QPainter& p) const;
    void drawGaps(QPainter& p) const;
    void drawTrouble(QPainter& p) const;

    History::PlotData m_data;
};
