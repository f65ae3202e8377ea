#pragma once
// Small helpers shared by the end-to-end tests: reaching into a send panel's
// row, and reading the traffic log and the view as a person would.

#include "korvaneprobe.h"

#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTextEdit>

namespace E2e {

inline QList<QLineEdit*> panelEdits(KorvaneProbe& probe, int panel)
{
    return probe.panelRow(panel)->findChildren<QLineEdit*>();
}

inline QPushButton* panelButton(KorvaneProbe& probe, int panel)
{
    return probe.panelRow(panel)->findChild<QPushButton*>();
}

// Types a frame into a panel with real keys and presses its "send" button.
inline void typeAndSend(KorvaneProbe& probe, int panel, const QString& type, const QStringList& data)
{
    const auto edits = panelEdits(probe, panel);
    edits[0]->clear();
    QTest::keyClicks(edits[0], type);
    edits[1]->clear();
    QTest::keyClicks(edits[1], QString::number(data.size(), 16).toUpper());
    for (int i = 0; i < data.size(); ++i) {
        edits[2 + i]->clear();
        QTest::keyClicks(edits[2 + i], data[i]);
    }
    QTest::mouseClick(panelButton(probe, panel), Qt::LeftButton);
}

inline QStringList logRows()
{
    QFile log(QStringLiteral("Korvane_data.csv"));
    if (!log.open(QIODevice::ReadOnly))
        return {};
    QStringList rows;
    const QList<QByteArray> all = log.readAll().split('\n');
    for (const QByteArray& line : all) {
        if (line.contains(",2E,"))
            rows << QString::fromLatin1(line);
    }
    return rows;
}

inline QString viewText(Korvane& window)
{
    return window.findChild<QTextEdit*>()->toPlainText();
}

} // namespace E2e
