#include "plotwidget.h"

#include "historytext.h"

#include <QMouseEvent>
#include <QPainter>

#include <algorithm>

namespace {

constexpr int Margin = 6;
constexpr int TitleHeight = 14;
const QColor SeriesColors[] = {QColor(0x1f, 0x77, 0xb4), QColor(0x2c, 0xa0, 0x2c), QColor(0x94, 0x67, 0xbd),
                               QColor(0x8c, 0x56, 0x4b), QColor(0x17, 0xbe, 0xcf), QColor(0xbc, 0xbd, 0x22),
                               QColor(0x7f, 0x7f, 0x7f)};
const QColor BadColor(0xc0, 0, 0);
const QColor NakColor(0xff, 0x7f, 0x0e);

// "850 µs", "12 ms", "3.2 s": a gap bin's upper bound.
QString gapText(std::int64_t us)
{
    if (us < 1000)
        return QStringLiteral("%1 µs").arg(us);
    if (us < 1000000)
        return QStringLiteral("%1 ms").arg(us / 1000.0, 0, 'g', 3);
    return QStringLiteral("%1 s").arg(us / 1e6, 0, 'g', 3);
}

} // namespace

PlotWidget::PlotWidget(QWidget* parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("historyPlots"));
    setMinimumHeight(110);
}

QSize PlotWidget::sizeHint() const
{
    return {900, 150};
}

void PlotWidget::setData(History::PlotData figures)
{
    m_data = std::move(figures);
    update();
}

QRect PlotWidget::plotArea(Plot plot) const
{
    const int w = (width() - Margin * (PlotCount + 1)) / PlotCount;
    const int x = Margin + plot * (w + Margin);
    return {x, Margin + TitleHeight, w, height() - 2 * Margin - TitleHeight};
}

void PlotWidget::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.fillRect(rect(), palette().base());
    QFont small = font();
    small.setPointSize(8);
    p.setFont(small);
    drawRates(p);
    drawGaps(p);
    drawTrouble(p);
}

void PlotWidget::drawFrame(QPainter& p, Plot plot, const QString& title, double top) const
{
    const QRect area = plotArea(plot);
    p.setPen(palette().mid().color());
    p.drawRect(area.adjusted(0, 0, -1, -1));
    p.setPen(palette().text().color());
    p.drawText(QRect(area.left(), area.top() - TitleHeight, area.width(), TitleHeight), Qt::AlignLeft | Qt::AlignBottom,
               title);
    p.drawText(area.adjusted(2, 1, -2, -1), Qt::AlignRight | Qt::AlignTop, QString::number(top, 'g', 4));
}

template <class Value>
void PlotWidget::drawLine(QPainter& p, const QRect& area, double top, const QColor& color, Value value) const
{
    const std::size_t n = m_data.buckets.size();
    if (n == 0 || top <= 0)
        return;
    QPolygonF line;
    line.reserve(static_cast<int>(n));
    for (std::size_t i = 0; i < n; ++i) {
        const double x = area.left() + (i + 0.5) * area.width() / double(n);
        const double y = area.bottom() - std::min(1.0, value(m_data.buckets[i]) / top) * (area.height() - 2);
        line << QPointF(x, y);
    }
    // A cosmetic one-pixel pen takes the raster engine's line drawing, not
    // the stroker: six hundred points a series, redrawn while following.
    QPen pen(color, 1);
    pen.setCosmetic(true);
    p.setPen(pen);
    p.drawPolyline(line);
}

void PlotWidget::drawRates(QPainter& p) const
{
    double top = 0;
    for (const auto& b : m_data.buckets)
        top = std::max(top, m_data.rate(*std::max_element(b.byType.begin(), b.byType.end())));
    drawFrame(p, Rate, QStringLiteral("帧/s"), top);
    const QRect area = plotArea(Rate);
    const std::size_t series = std::min(m_data.types.size() + 1, History::PlotData::MaxSeries + 1);
    int legendX = area.left() + 40;
    for (std::size_t s = 0; s < series; ++s) {
        const QColor color = SeriesColors[s];
        drawLine(p, area, top, color, [&](const History::PlotData::Bucket& b) { return m_data.rate(b.byType[s]); });
        const QString name = s < m_data.types.size() ? HistoryText::hex(&m_data.types[s], 1) : QStringLiteral("其他");
        p.setPen(color);
        p.drawText(QPoint(legendX, area.top() - 3), name);
        legendX += p.fontMetrics().horizontalAdvance(name) + 8;
    }
}

void PlotWidget::drawGaps(QPainter& p) const
{
    const std::size_t n = m_data.gapCounts.size();
    const std::uint64_t most = n ? *std::max_element(m_data.gapCounts.begin(), m_data.gapCounts.end()) : 0;
    drawFrame(p, Gaps, QStringLiteral("帧间隔"), double(most));
    const QRect area = plotArea(Gaps);
    if (n == 0 || most == 0)
        return;
    const double w = area.width() / double(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double h = (area.height() - 2) * double(m_data.gapCounts[i]) / double(most);
        p.fillRect(QRectF(area.left() + i * w + 1, area.bottom() - h, std::max(1.0, w - 2), h), SeriesColors[0]);
    }
    // The bounds at both ends and in the middle, so the scale can be read.
    p.setPen(palette().text().color());
    for (std::size_t i : {std::size_t(0), n / 2, n - 1}) {
        // The last bin has no upper bound: it starts where the one before ends.
        const bool last = i + 1 == n && i > 0;
        const std::size_t bound = last ? i - 1 : i;
        if (bound >= m_data.gapUpperUs.size())
            continue;
        const Qt::Alignment align = i == 0 ? Qt::AlignLeft : last ? Qt::AlignRight : Qt::AlignHCenter;
        // Below the largest count in the top right corner.
        p.drawText(QRectF(area.left() + 2, area.top() + 14, area.width() - 4, 14), align | Qt::AlignTop,
                   (last ? QStringLiteral("≥") : QStringLiteral("<")) + gapText(m_data.gapUpperUs[bound]));
    }
}

void PlotWidget::drawTrouble(QPainter& p) const
{
    double top = 0;
    for (const auto& b : m_data.buckets)
        top = std::max(top, m_data.rate(std::max(b.bad, b.naks)));
    drawFrame(p, Trouble, QStringLiteral("坏帧/s  NAK/s"), top);
    const QRect area = plotArea(Trouble);
    drawLine(p, area, top, BadColor, [&](const History::PlotData::Bucket& b) { return m_data.rate(b.bad); });
    drawLine(p, area, top, NakColor, [&](const History::PlotData::Bucket& b) { return m_data.rate(b.naks); });
}

void PlotWidget::mousePressEvent(QMouseEvent* event)
{
    const QPoint at = event->position().toPoint();
    for (int plot = 0; plot < PlotCount; ++plot) {
        const QRect area = plotArea(static_cast<Plot>(plot));
        if (!area.contains(at))
            continue;
        const double share = double(at.x() - area.left()) / std::max(1, area.width());
        if (plot == Gaps) {
            const std::size_t bin = std::min(m_data.gapCounts.size() - 1, std::size_t(share * m_data.gapCounts.size()));
            if (!m_data.gapCounts.empty() && m_data.gapCounts[bin] > 0 && bin < m_data.gapFirstRow.size())
                emit rowClicked(m_data.gapFirstRow[bin]);
        } else if (!m_data.buckets.empty()) {
            const std::size_t n = m_data.buckets.size();
            emit rowClicked(m_data.buckets[std::min(n - 1, std::size_t(share * n))].firstRow);
        }
        return;
    }
    QWidget::mousePressEvent(event);
}
