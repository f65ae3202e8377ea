#include "statusstrip.h"

#include <QLabel>
#include <QStatusBar>
#include <QToolButton>

namespace {
// The form leaves 18 pixels below the traffic view; the strip takes them
// and no more, so the form's own widgets keep their places.
constexpr int StripHeight = 18;
constexpr int StripPointSize = 9;
} // namespace

StatusStrip::StatusStrip(QStatusBar* bar)
    : link(new QLabel(bar)), counts(new QLabel(bar)), log(new QLabel(bar)), history(new QToolButton(bar))
{
    QFont font = bar->font();
    font.setPointSize(StripPointSize);
    bar->setFont(font);
    bar->setFixedHeight(StripHeight);
    bar->setSizeGripEnabled(false);
    bar->setContentsMargins(0, 0, 0, 0);
    // Long reasons are cut at the strip's edge (the tooltip has them whole)
    // instead of widening the window.
    for (QLabel* label : {link, log})
        label->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    link->setObjectName(QStringLiteral("linkStatus"));
    counts->setObjectName(QStringLiteral("countStatus"));
    log->setObjectName(QStringLiteral("logStatus"));
    bar->addWidget(link, 3);
    bar->addWidget(counts, 0);
    bar->addWidget(log, 2);
    // Flat like the labels beside it, and no taller than the strip.
    history->setObjectName(QStringLiteral("historyStatus"));
    history->setText(QStringLiteral("历史"));
    history->setToolTip(QStringLiteral("历史 (Ctrl+H)"));
    history->setAutoRaise(true);
    history->setFocusPolicy(Qt::NoFocus);
    history->setFixedHeight(StripHeight);
    history->setCursor(Qt::PointingHandCursor);
    bar->addPermanentWidget(history, 0);
    show(counts, countsText(shown), false);
}

void StatusStrip::show(QLabel* label, const QString& text, bool trouble)
{
    if (label->text() != text) {
        label->setText(text);
        label->setToolTip(text);
    }
    const QString style = trouble ? QStringLiteral("color: #c00000;") : QString();
    if (label->styleSheet() != style)
        label->setStyleSheet(style);
}

void StatusStrip::setLink(const QString& text, bool trouble)
{
    show(link, text, trouble);
}

void StatusStrip::setLog(const QString& text, bool trouble)
{
    show(log, text, trouble);
}

void StatusStrip::setHistoryOpener(std::function<void()> open)
{
    QObject::connect(history, &QToolButton::clicked, history, [open = std::move(open)] { open(); });
}

QString StatusStrip::linkText() const
{
    return link->text();
}

void StatusStrip::setCounts(const LinkCounters& c)
{
    if (c == shown)
        return;
    shown = c;
    show(counts, countsText(c), false);
}

QString StatusStrip::countsText(const LinkCounters& c)
{
    return QStringLiteral("帧 %1  坏 %2  FF %3  F0 %4  收 %5 B  发 %6 B")
        .arg(c.goodFrames)
        .arg(c.badFrames)
        .arg(c.acks)
        .arg(c.naks)
        .arg(c.bytesIn)
        .arg(c.bytesOut);
}
