#pragma once
// Helpers for the POSIX suites that drive the real window: a fresh window
// for each test function, reaching into a send panel's row and reading the
// view as a person would.

#include "korvaneprobe.h"
#include "testsupport.h"

#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTextEdit>

namespace TestSupport {

// Base of the suites that drive one window per test function: a ports
// folder for COMn links, a fresh working directory where the traffic log
// lands, and the window with its probe.
class WindowTest : public QObject
{
public:
    // Suites in a private namespace are told whether they got it, and why not.
    explicit WindowTest(bool inNamespace = true, const QString& why = QString()) : isolated(inNamespace), whyNot(why) {}

protected:
    // For init(). The window and probe are made even when a check fails, so
    // that what follows in init() may use them.
    void makeWindow(bool show = true)
    {
        ports = new PortsDir;
        work = new QTemporaryDir;
        const bool ready = ports->isValid() && work->isValid() && QDir::setCurrent(work->path());
        window = new Korvane;
        probe = new KorvaneProbe(*window);
        if (show)
            window->show();
        QVERIFY(ready);
        if (show)
            QVERIFY(QTest::qWaitForWindowExposed(window));
    }
    // For cleanup(): everything gone, in the reverse order.
    void dropWindow()
    {
        delete probe;
        delete window;
        QDir::setCurrent(QDir::tempPath());
        delete work;
        probe = nullptr;
        window = nullptr;
        work = nullptr;
        delete ports;
        ports = nullptr;
    }

    const bool isolated;
    const QString whyNot;
    PortsDir* ports = nullptr;
    QTemporaryDir* work = nullptr;
    Korvane* window = nullptr;
    KorvaneProbe* probe = nullptr;
};

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

inline QString viewText(Korvane& window)
{
    return window.findChild<QTextEdit*>()->toPlainText();
}

// A field of the status bar: "linkStatus", "countStatus" or "logStatus".
inline QString statusText(Korvane& window, const char* field)
{
    const QLabel* label = window.findChild<QLabel*>(QLatin1String(field));
    return label ? label->text() : QStringLiteral("<no %1>").arg(QLatin1String(field));
}

// The window closed a lost link by itself, as a click on `open` would, and
// said why (`said`, the view's line) in the view, the status bar and, in
// English (`console`), on standard error (`err`).
inline void checkLinkLost(KorvaneProbe& probe, Korvane& window, const QString& said, OutputCapture& err,
                          const char* console)
{
    QTRY_VERIFY(!probe.linkOpen());
    QVERIFY(!probe.readTimer()->isActive());
    QVERIFY(probe.ui().mode->isEnabled());
    QCOMPARE(probe.ui().open->text(), probe.serialMode() ? QStringLiteral("打开") : QStringLiteral("连接"));
    for (int i = 0; i < 6; ++i)
        QVERIFY(!probe.panelRow(i)->findChild<QPushButton*>()->isEnabled());
    QTRY_VERIFY2(viewText(window).contains(said), qPrintable(viewText(window)));
    QCOMPARE(statusText(window, "linkStatus"), said);
    QCOMPARE(err.text().count(console), 1);
}

// Sets the port box (after switching to the network for a host number) and
// clicks `open`, as a user would. True when the link opened.
inline bool openLink(KorvaneProbe& probe, bool network, int number)
{
    if (network != !probe.serialMode())
        QTest::mouseClick(probe.ui().mode, Qt::LeftButton);
    probe.ui().portBox->setValue(number);
    QTest::mouseClick(probe.ui().open, Qt::LeftButton);
    return probe.linkOpen();
}

} // namespace TestSupport
