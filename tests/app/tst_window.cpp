// The main window as a person first sees it: the form widget by widget, the
// state right after start, the version label and the two clear buttons.

#include "builddate.h"
#include "korvaneprobe.h"

#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTextEdit>

class WindowTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void formWidgets_data();
    void formWidgets();
    void windowItself();
    void stateAfterStart();
    void existingObjectNameIsKept();
    void versionLabel();
    void buildDate_data();
    void buildDate();
    void clearSentWhileOpenKeepsLink();
    void clearReceivedLeavesRingAndLog();

private:
    QTemporaryDir workDir; // the traffic log goes into the working directory
};

void WindowTest::initTestCase()
{
    QVERIFY(workDir.isValid());
    QVERIFY(QDir::setCurrent(workDir.path()));
}

void WindowTest::formWidgets_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("className");
    QTest::addColumn<QString>("parentName");
    QTest::addColumn<QRect>("geometry");
    QTest::addColumn<int>("pointSize");
    QTest::addColumn<QString>("text");

    QTest::newRow("portBox") << "portBox" << "QSpinBox" << "centralWidget" << QRect(80, 10, 61, 31) << 16 << "1";
    QTest::newRow("open") << "open" << "QPushButton" << "centralWidget" << QRect(150, 10, 75, 31) << 16 << "打开";
    QTest::newRow("cleartx") << "cleartx" << "QPushButton" << "centralWidget" << QRect(240, 10, 91, 31) << 16 << "清空发送";
    QTest::newRow("groupBox_data") << "groupBox_data" << "QGroupBox" << "centralWidget" << QRect(10, 50, 711, 211) << 16 << "";
    QTest::newRow("type_label") << "type_label" << "QLabel" << "groupBox_data" << QRect(20, 10, 31, 16) << 12 << "type";
    QTest::newRow("len_label") << "len_label" << "QLabel" << "groupBox_data" << QRect(70, 10, 31, 16) << 12 << "len";
    QTest::newRow("data_label") << "data_label" << "QLabel" << "groupBox_data" << QRect(120, 10, 31, 16) << 12 << "data";
    QTest::newRow("ack_label") << "ack_label" << "QLabel" << "groupBox_data" << QRect(620, 10, 81, 20) << 12 << "";
    QTest::newRow("clearrx") << "clearrx" << "QPushButton" << "centralWidget" << QRect(350, 10, 91, 31) << 16 << "清空接收";
    QTest::newRow("Ver_label") << "Ver_label" << "QLabel" << "centralWidget" << QRect(480, 20, 161, 16) << 12 << "";
    QTest::newRow("mode") << "mode" << "QPushButton" << "centralWidget" << QRect(15, 10, 56, 31) << 16 << "串口";
}

static QString textOf(QWidget* w)
{
    if (auto* b = qobject_cast<QPushButton*>(w))
        return b->text();
    if (auto* l = qobject_cast<QLabel*>(w))
        return l->text();
    if (auto* g = qobject_cast<QGroupBox*>(w))
        return g->title();
    if (auto* s = qobject_cast<QSpinBox*>(w))
        return s->text();
    return QString();
}

void WindowTest::formWidgets()
{
    QFETCH(QString, name);
    QFETCH(QString, className);
    QFETCH(QString, parentName);
    QFETCH(QRect, geometry);
    QFETCH(int, pointSize);
    QFETCH(QString, text);

    Korvane window;
    auto* w = window.findChild<QWidget*>(name);
    QVERIFY2(w, qPrintable(name));
    QCOMPARE(QString::fromLatin1(w->metaObject()->className()), className);
    QCOMPARE(w->parentWidget()->objectName(), parentName);
    QCOMPARE(w->geometry(), geometry);
    QCOMPARE(w->font().pointSize(), pointSize);
    if (name != QLatin1String("Ver_label"))
        QCOMPARE(textOf(w), text);
}

void WindowTest::windowItself()
{
    Korvane window;
    QCOMPARE(window.objectName(), QStringLiteral("KorvaneClass"));
    QCOMPARE(window.windowTitle(), QStringLiteral("Korvane"));
    QCOMPARE(window.size(), QSize(731, 419));
    QCOMPARE(window.font().pointSize(), 16);
    QCOMPARE(window.centralWidget()->objectName(), QStringLiteral("centralWidget"));

    KorvaneProbe probe(window);
    KorvaneClass& ui = probe.ui();
    // The members in the order the form creates them.
    const QList<QObject*> members = {ui.centralWidget, ui.portBox, ui.open, ui.cleartx, ui.groupBox_data,
                                     ui.type_label, ui.len_label, ui.data_label, ui.ack_label, ui.clearrx,
                                     ui.Ver_label, ui.mode};
    const QStringList names = {"centralWidget", "portBox", "open", "cleartx", "groupBox_data", "type_label",
                               "len_label", "data_label", "ack_label", "clearrx", "Ver_label", "mode"};
    for (int i = 0; i < members.size(); ++i)
        QCOMPARE(members[i]->objectName(), names[i]);

    QCOMPARE(ui.portBox->minimum(), 1);
    QCOMPARE(ui.portBox->maximum(), 9); // every number the port numbering hands out
    QCOMPARE(ui.portBox->singleStep(), 1);
    QCOMPARE(ui.groupBox_data->inputMethodHints(), Qt::ImhDigitsOnly);
    QVERIFY(ui.groupBox_data->title().isEmpty());

    // The status bar takes the strip below the traffic view and no more:
    // the window keeps its size and the view all of its height.
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QCOMPARE(window.size(), QSize(731, 419));
    const QTextEdit* view = window.findChild<QTextEdit*>();
    QCOMPARE(view->geometry(), QRect(10, 270, 711, 131));
    QVERIFY(window.statusBar()->isVisible());
    QVERIFY2(window.statusBar()->geometry().top() > view->geometry().bottom(), qPrintable(QStringLiteral("%1").arg(window.statusBar()->geometry().top())));
    QCOMPARE(window.statusBar()->geometry().bottom(), window.height() - 1);
    QCOMPARE(window.centralWidget()->height(), window.statusBar()->geometry().top());
}

void WindowTest::stateAfterStart()
{
    Korvane window;
    KorvaneProbe probe(window);
    QVERIFY(!probe.linkOpen());
    QVERIFY(probe.serialMode());
    QVERIFY(!probe.readTimer()->isActive());
    QCOMPARE(probe.rxSlot(), 0);
    QCOMPARE(probe.rxState(), 0);
    QCOMPARE(probe.rxCount(), 0);
    for (int i = 0; i < Korvane::RingSize; ++i) {
        const TYPE_Data& r = probe.record(i);
        QVERIFY(r.time.isNull());
        QCOMPARE(r.type + r.len + r.sum, 0);
    }
    QVERIFY(probe.ui().ack_label->text().isEmpty());
    QVERIFY(probe.ui().mode->isEnabled());

    auto* view = window.findChild<QTextEdit*>();
    QVERIFY(view);
    QCOMPARE(view->parentWidget(), &window);
    QCOMPARE(view->pos(), QPoint(10, 270));
    QVERIFY(view->toPlainText().isEmpty());

    // Six rows in the group box, top to bottom, none usable while closed.
    for (int i = 0; i < Korvane::PanelCount; ++i) {
        QVERIFY(probe.panel(i));
        QWidget* row = probe.panelRow(i);
        QVERIFY(row);
        QCOMPARE(row->size(), QSize(710, 31));
        const auto edits = row->findChildren<QLineEdit*>();
        QCOMPARE(edits.size(), 15);
        for (QLineEdit* e : edits)
            QVERIFY(!e->isEnabled());
        QVERIFY(!row->findChild<QPushButton*>()->isEnabled());
    }
}

void WindowTest::existingObjectNameIsKept()
{
    QMainWindow host;
    host.setObjectName(QStringLiteral("already"));
    KorvaneClass form;
    form.setupUi(&host);
    QCOMPARE(host.objectName(), QStringLiteral("already"));
    // Before the window takes over, the form reads as serial mode.
    QCOMPARE(form.portBox->value(), 1);
    QCOMPARE(form.open->text(), QStringLiteral("打开"));
    QCOMPARE(form.mode->text(), QStringLiteral("串口"));
    QCOMPARE(form.ack_label->text(), QStringLiteral("ACK:XX"));
    QCOMPARE(form.Ver_label->text(), QStringLiteral("V1.00.00  2016-04-03"));
}

void WindowTest::versionLabel()
{
    Korvane window;
    const QString text = window.findChild<QLabel*>(QStringLiteral("Ver_label"))->text();
    QCOMPARE(text, QStringLiteral("V2.01.00  ") + BuildDate::toIso(BuildDate::compiled()));
    QVERIFY2(QRegularExpression(QStringLiteral("^V2\\.01\\.00  \\d{4}-\\d{2}-\\d{2}$")).match(text).hasMatch(),
             qPrintable(text));
}

void WindowTest::buildDate_data()
{
    QTest::addColumn<QString>("compiled");
    QTest::addColumn<QString>("iso");
    QTest::newRow("one-digit day") << "May  4 2016" << "2016-05-04";
    QTest::newRow("two-digit day") << "Dec 31 1999" << "1999-12-31";
    QTest::newRow("january") << "Jan  1 2026" << "2026-01-01";
    QTest::newRow("unknown month") << "Foo  1 2026" << "Foo  1 2026";
}

void WindowTest::buildDate()
{
    QFETCH(QString, compiled);
    QFETCH(QString, iso);
    QCOMPARE(BuildDate::toIso(compiled.toLatin1().constData()), iso);
}

void WindowTest::clearSentWhileOpenKeepsLink()
{
    Korvane window;
    KorvaneProbe probe(window);
    probe.panel(0)->EnablePanel(true);
    QWidget* row = probe.panelRow(0);
    const auto edits = row->findChildren<QLineEdit*>();
    edits[0]->setText(QStringLiteral("7F"));
    QTest::keyClicks(edits[1], QStringLiteral("2"));
    edits[2]->setText(QStringLiteral("0A"));
    probe.ui().ack_label->setText(QStringLiteral("ack:ff"));

    QTest::mouseClick(probe.ui().cleartx, Qt::LeftButton);

    QVERIFY(probe.ui().ack_label->text().isEmpty());
    QVERIFY(edits[0]->text().isEmpty());
    QVERIFY(edits[1]->text().isEmpty());
    QVERIFY(edits[0]->isEnabled());
    QVERIFY(edits[1]->isEnabled());
    QVERIFY(row->findChild<QPushButton*>()->isEnabled());
    for (int i = 2; i < edits.size(); ++i) {
        QVERIFY(edits[i]->text().isEmpty());
        QVERIFY(!edits[i]->isEnabled());
    }
}

void WindowTest::clearReceivedLeavesRingAndLog()
{
    QTemporaryDir dir;
    QVERIFY(QDir::setCurrent(dir.path()));
    {
        Korvane window;
        KorvaneProbe probe(window);
        const QByteArray frame = QByteArray::fromHex("2e01020aff f3");
        for (char c : frame)
            window.DecodeByte(static_cast<unsigned char>(c));
        QCOMPARE(probe.rxSlot(), 1);
        probe.display().FlushLog();
        const qint64 logged = QFileInfo(QStringLiteral("Korvane_data.csv")).size();

        QTest::mouseClick(probe.ui().clearrx, Qt::LeftButton);
        QTRY_VERIFY(window.findChild<QTextEdit*>()->toPlainText().isEmpty());
        QCOMPARE(QFileInfo(QStringLiteral("Korvane_data.csv")).size(), logged);
        QCOMPARE(probe.rxSlot(), 1);

        for (char c : frame)
            window.DecodeByte(static_cast<unsigned char>(c));
        QCOMPARE(probe.rxSlot(), 2);
        QCOMPARE(probe.record(1).sum, 0xF3);
    }
    QFile log(QStringLiteral("Korvane_data.csv"));
    QVERIFY(log.open(QIODevice::ReadOnly));
    const QList<QByteArray> rows = log.readAll().split('\n');
    QVERIFY(rows.size() >= 3);
    QVERIFY(rows[rows.size() - 3].endsWith(",2E,01,02,0A,FF,F3,-,[1]"));
    QVERIFY(rows[rows.size() - 2].endsWith(",2E,01,02,0A,FF,F3,-,[1]"));
    QVERIFY(QDir::setCurrent(workDir.path()));
}

QTEST_MAIN(WindowTest)
#include "tst_window.moc"
