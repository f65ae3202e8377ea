// The seven-line traffic view: ring order, indices, clears, placement and
// the display's signal/slot interface.

#include "display.h"
#include "trafficfixtures.h"

#include <QFontDatabase>
#include <QFontInfo>
#include <QMetaMethod>
#include <QSignalSpy>
#include <QTest>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextEdit>
#include <QWidget>

using Fixtures::expectedLine;
using Fixtures::numbered;

namespace {

// The seven paragraphs a person should see after `shown` lines since a clear.
QString expectedView(const QStringList& shown)
{
    QStringList paragraphs = shown.mid(qMax(0, shown.size() - 7));
    while (paragraphs.size() < 7)
        paragraphs << QString();
    return paragraphs.join(QLatin1Char('\n'));
}

QStringList paragraphs(const QTextEdit* view)
{
    QStringList out;
    for (QTextBlock b = view->document()->begin(); b.isValid(); b = b.next())
        out << b.text();
    return out;
}

} // namespace

class TrafficViewTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void placedAndStyled();
    void emptyAfterStart();
    void ring_data();
    void ring();
    void statusLinesAreCounted();
    void clearInTheMiddle();
    void clearCancelsPendingRebuild();
    void oneRebuildPerTurn();
    void refreshViewBringsItUpToDateAtOnce();
    void metaObject();

private:
    void show(int n);

    Fixtures::WorkDir* work = nullptr;
    QWidget* host = nullptr;
    Display* display = nullptr;
    QTextEdit* view = nullptr;
    QStringList shown;
};

void TrafficViewTest::init()
{
    work = new Fixtures::WorkDir;
    QVERIFY(work->ok());
    host = new QWidget;
    host->resize(740, 420);
    display = new Display;
    display->SetView(host, 10, 270);
    view = host->findChild<QTextEdit*>();
    QVERIFY(view);
    shown.clear();
}

void TrafficViewTest::cleanup()
{
    delete display;
    display = nullptr;
    delete host;
    host = nullptr;
    delete work;
    work = nullptr;
}

void TrafficViewTest::show(int n)
{
    for (int i = 0; i < n; ++i) {
        TYPE_Data r = numbered(shown.size() + 1);
        display->ShowFrame(&r);
        shown << expectedLine(r, shown.size() + 1);
        // The display copies what it needs: scribbling over the record after
        // the call must not change what is shown.
        r.type ^= 0xFF;
    }
}

void TrafficViewTest::placedAndStyled()
{
    QCOMPARE(view->parentWidget(), host);
    QCOMPARE(view->geometry(), QRect(10, 270, 711, 131));
    QCOMPARE(view->font().pointSize(), 11);
    QCOMPARE(view->font().family(), QStringLiteral("simsun"));
    QVERIFY(!view->isReadOnly());
#ifndef Q_OS_WIN
    const QString cjk = QStringLiteral("WenQuanYi Micro Hei");
    if (!QFontDatabase::families().contains(cjk))
        QSKIP("the CJK font that stands in for SimSun is not installed");
    QCOMPARE(QFontInfo(view->font()).family(), cjk);
#endif
    host->show();
    QVERIFY(QTest::qWaitForWindowExposed(host));
    QVERIFY(view->isVisible());
}

void TrafficViewTest::emptyAfterStart()
{
    QTest::qWait(0);
    QCOMPARE(view->toPlainText(), QString());
}

void TrafficViewTest::ring_data()
{
    QTest::addColumn<int>("count");
    for (int n = 1; n <= 15; ++n)
        QTest::addRow("%d lines", n) << n;
}

void TrafficViewTest::ring()
{
    QFETCH(int, count);
    show(count);
    QTRY_COMPARE(view->toPlainText(), expectedView(shown));
    const QStringList p = paragraphs(view);
    QCOMPARE(p.size(), 7);
    QVERIFY(p.first().endsWith(count <= 7 ? QStringLiteral(" [1]") : QStringLiteral(" [%1]").arg(count - 6)));
    QCOMPARE(p.at(qMin(count, 7) - 1), shown.last());
}

void TrafficViewTest::statusLinesAreCounted()
{
    display->ShowText(QStringLiteral("串口打开成功"));
    shown << QStringLiteral("串口打开成功");
    show(1);
    QVERIFY(shown.last().endsWith(QStringLiteral(" [2]")));
    display->ShowText(QStringLiteral("status"));
    shown << QStringLiteral("status");
    show(6);
    QVERIFY(shown.last().endsWith(QStringLiteral(" [9]")));
    QTRY_COMPARE(view->toPlainText(), expectedView(shown));
    QCOMPARE(paragraphs(view).first(), shown.at(2));
}

void TrafficViewTest::clearInTheMiddle()
{
    show(10);
    QTRY_COMPARE(view->toPlainText(), expectedView(shown));
    display->ClearView();
    QCOMPARE(view->toPlainText(), QString());

    shown.clear();
    show(3);
    QVERIFY(shown.first().endsWith(QStringLiteral(" [1]")));
    QTRY_COMPARE(view->toPlainText(), expectedView(shown));

    show(6);
    QTRY_COMPARE(view->toPlainText(), expectedView(shown));
    QVERIFY(paragraphs(view).first().endsWith(QStringLiteral(" [3]")));
}

void TrafficViewTest::clearCancelsPendingRebuild()
{
    show(4);
    display->ClearView();
    QCOMPARE(view->toPlainText(), QString());
    QTest::qWait(0);
    QCoreApplication::processEvents();
    QCOMPARE(view->toPlainText(), QString());
    QCOMPARE(view->document()->blockCount(), 1);

    shown.clear();
    show(1);
    QTRY_COMPARE(view->toPlainText(), expectedView(shown));
}

void TrafficViewTest::oneRebuildPerTurn()
{
    // Measure what one rebuild costs in change notifications, then push a
    // burst of lines in one turn and expect no more than that.
    QSignalSpy changes(view, &QTextEdit::textChanged);
    show(1);
    QTRY_COMPARE(view->toPlainText(), expectedView(shown));
    const int perRebuild = changes.count();
    QVERIFY(perRebuild >= 1);

    changes.clear();
    show(200);
    QTRY_COMPARE(view->toPlainText(), expectedView(shown));
    QCOMPARE(changes.count(), perRebuild);
}

void TrafficViewTest::refreshViewBringsItUpToDateAtOnce()
{
    show(9);
    display->RefreshView();
    QCOMPARE(view->toPlainText(), expectedView(shown));
    QSignalSpy changes(view, &QTextEdit::textChanged);
    QTest::qWait(0);
    QCoreApplication::processEvents();
    QCOMPARE(changes.count(), 0);
    QCOMPARE(view->toPlainText(), expectedView(shown));
}

void TrafficViewTest::metaObject()
{
    const QMetaObject* mo = display->metaObject();
    QCOMPARE(mo->className(), "Display");
    QCOMPARE(mo->superClass(), &QMainWindow::staticMetaObject);
    QCOMPARE(mo->methodCount() - mo->methodOffset(), 4);
    QCOMPARE(mo->propertyCount() - mo->propertyOffset(), 0);
    QCOMPARE(mo->enumeratorCount() - mo->enumeratorOffset(), 0);
    QCOMPARE(mo->classInfoCount() - mo->classInfoOffset(), 0);
    QVERIFY(qobject_cast<Display*>(static_cast<QObject*>(display)) == display);

    struct Expected { const char* signature; QMetaMethod::MethodType type; QMetaMethod::Access access; const char* param; };
    const Expected expected[] = {
        {"PressType_Sig(TYPE_Data*)", QMetaMethod::Signal, QMetaMethod::Protected, "Data"},
        {"PressFile_Sig(QString)", QMetaMethod::Signal, QMetaMethod::Protected, "str"},
        {"PressType_Slots(TYPE_Data*)", QMetaMethod::Slot, QMetaMethod::Private, "Data"},
        {"PressFile_Slots(QString)", QMetaMethod::Slot, QMetaMethod::Private, "str"},
    };
    for (int i = 0; i < 4; ++i) {
        const QMetaMethod m = mo->method(mo->methodOffset() + i);
        QCOMPARE(m.methodSignature(), QByteArray(expected[i].signature));
        QCOMPARE(m.methodType(), expected[i].type);
        QCOMPARE(m.access(), expected[i].access);
        QCOMPARE(m.parameterNames(), QList<QByteArray>{expected[i].param});
    }
}

QTEST_MAIN(TrafficViewTest)
#include "tst_trafficview.moc"
