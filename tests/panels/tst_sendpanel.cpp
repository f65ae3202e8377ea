// The send panel driven the way a person drives it: typed keys and clicks on
// real widgets.

#include "analyz.h"

#include <QGroupBox>
#include <QLineEdit>
#include <QMainWindow>
#include <QMetaMethod>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QWidget>

class SendPanelTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void rowLayout();
    void validators_data();
    void validators();
    void lengthEnablesDataFields();
    void shorterLengthEmptiesFields();
    void erasedLengthSendsNothing();
    void payloads_data();
    void payloads();
    void sameFrameSentAgain();
    void clearPanel();
    void enablePanel();
    void deletingThePanelFreesItsRow();
    void metaObject();

private:
    QLineEdit* type() const { return fields.at(0); }
    QLineEdit* len() const { return fields.at(1); }
    QLineEdit* data(int i) const { return fields.at(2 + i); }
    void setLength(const QString& digit);
    void click() { QTest::mouseClick(button, Qt::LeftButton); }

    QWidget* host = nullptr;
    Analyz* panel = nullptr;
    QGroupBox* row = nullptr;
    QList<QLineEdit*> fields;
    QPushButton* button = nullptr;
    QList<QByteArray> sent;
};

void SendPanelTest::init()
{
    host = new QWidget;
    host->resize(760, 240);
    panel = new Analyz;
    panel->SetPanel(host, 0, 60);
    panel->EnablePanel(true);
    connect(panel, &Analyz::send_sig, this, [this](const char* buff) {
        sent << QByteArray(buff, 2 + static_cast<unsigned char>(buff[1]));
    });
    host->show();
    QVERIFY(QTest::qWaitForWindowExposed(host));

    row = host->findChild<QGroupBox*>(QString(), Qt::FindDirectChildrenOnly);
    QVERIFY(row);
    fields = row->findChildren<QLineEdit*>(QString(), Qt::FindDirectChildrenOnly);
    QCOMPARE(fields.size(), 15);
    button = row->findChild<QPushButton*>();
    QVERIFY(button);
    sent.clear();
}

void SendPanelTest::cleanup()
{
    delete panel;
    panel = nullptr;
    delete host;
    host = nullptr;
}

void SendPanelTest::setLength(const QString& digit)
{
    // Select and overtype, one edit, the way a person replaces the digit.
    len()->setFocus();
    QTest::keyClick(len(), Qt::Key_A, Qt::ControlModifier);
    if (digit.isEmpty())
        QTest::keyClick(len(), Qt::Key_Backspace);
    else
        QTest::keyClicks(len(), digit);
    QCOMPARE(len()->text(), digit);
}

void SendPanelTest::rowLayout()
{
    QCOMPARE(row->geometry(), QRect(0, 60, 710, 31));
    QVERIFY(row->title().isEmpty());
    QCOMPARE(type()->geometry(), QRect(20, 5, 30, 21));
    QCOMPARE(len()->geometry(), QRect(70, 5, 30, 21));
    QCOMPARE(type()->maxLength(), 2);
    QCOMPARE(len()->maxLength(), 1);
    QCOMPARE(type()->alignment(), Qt::AlignRight | Qt::AlignVCenter);
    QCOMPARE(len()->alignment(), Qt::AlignRight | Qt::AlignVCenter);
    for (int i = 0; i < 13; ++i) {
        QCOMPARE(data(i)->geometry(), QRect(120 + 40 * i, 5, 30, 21));
        QCOMPARE(data(i)->maxLength(), 2);
        QCOMPARE(data(i)->alignment() & Qt::AlignHorizontal_Mask, Qt::AlignLeft);
        QVERIFY(!data(i)->isEnabled());
        QVERIFY(data(i)->text().isEmpty());
    }
    QCOMPARE(button->geometry(), QRect(640, 5, 60, 23));
    QCOMPARE(button->text(), QStringLiteral("send"));
    QVERIFY(type()->isEnabled() && len()->isEnabled() && button->isEnabled());

    // Focus moves through the row in the order of the fields.
    QWidget* w = type();
    for (int i = 1; i < 15; ++i) {
        w = w->nextInFocusChain();
        QCOMPARE(w, fields.at(i));
    }
    QCOMPARE(w->nextInFocusChain(), static_cast<QWidget*>(button));
}

void SendPanelTest::validators_data()
{
    QTest::addColumn<int>("field"); // 0 type, 1 length, 2 data field 1, 14 data field 13
    QTest::addColumn<QString>("keys");
    QTest::addColumn<QString>("text");

    for (int field : {0, 2, 14}) {
        const QByteArray f = QByteArray::number(field);
        QTest::newRow(f + ": digits") << field << "09" << "09";
        QTest::newRow(f + ": letters") << field << "AF" << "AF";
        QTest::newRow(f + ": lower case refused") << field << "af" << "";
        QTest::newRow(f + ": lower case skipped") << field << "a1bC" << "1C";
        QTest::newRow(f + ": G to Z refused") << field << "GHZ" << "";
        QTest::newRow(f + ": third character refused") << field << "7FE" << "7F";
        QTest::newRow(f + ": blank and signs refused") << field << " -+x" << "";
    }
    QTest::newRow("len: digit") << 1 << "9" << "9";
    QTest::newRow("len: D") << 1 << "D" << "D";
    QTest::newRow("len: E refused") << 1 << "E" << "";
    QTest::newRow("len: F refused") << 1 << "F" << "";
    QTest::newRow("len: lower case refused") << 1 << "c" << "";
    QTest::newRow("len: second character refused") << 1 << "12" << "1";
    QTest::newRow("len: E after digit refused") << 1 << "3E" << "3";
}

void SendPanelTest::validators()
{
    QFETCH(int, field);
    QFETCH(QString, keys);
    QFETCH(QString, text);
    if (field >= 2)
        setLength(QStringLiteral("D"));
    QLineEdit* edit = fields.at(field);
    edit->setFocus();
    QTest::keyClicks(edit, keys);
    QCOMPARE(edit->text(), text);
}

void SendPanelTest::lengthEnablesDataFields()
{
    setLength(QStringLiteral("3"));
    for (int i = 0; i < 13; ++i) {
        QCOMPARE(data(i)->isEnabled(), i < 3);
        QVERIFY(data(i)->text().isEmpty());
    }
    setLength(QStringLiteral("D"));
    for (int i = 0; i < 13; ++i)
        QVERIFY(data(i)->isEnabled());
    setLength(QStringLiteral("0"));
    for (int i = 0; i < 13; ++i)
        QVERIFY(!data(i)->isEnabled());
}

void SendPanelTest::shorterLengthEmptiesFields()
{
    setLength(QStringLiteral("5"));
    const QStringList values{"11", "22", "33", "44", "55"};
    for (int i = 0; i < 5; ++i)
        QTest::keyClicks(data(i), values.at(i));
    setLength(QStringLiteral("2"));
    QCOMPARE(data(0)->text(), QStringLiteral("11"));
    QCOMPARE(data(1)->text(), QStringLiteral("22"));
    for (int i = 2; i < 13; ++i) {
        QVERIFY(!data(i)->isEnabled());
        QVERIFY(data(i)->text().isEmpty());
    }
    // A disabled field takes no typing.
    QTest::keyClicks(data(3), QStringLiteral("99"));
    QVERIFY(data(3)->text().isEmpty());

    setLength(QStringLiteral("5"));
    for (int i = 0; i < 5; ++i)
        QVERIFY(data(i)->isEnabled());
    QCOMPARE(data(1)->text(), QStringLiteral("22"));
    for (int i = 2; i < 5; ++i)
        QVERIFY(data(i)->text().isEmpty());
}

void SendPanelTest::erasedLengthSendsNothing()
{
    QTest::keyClicks(type(), QStringLiteral("01"));
    setLength(QStringLiteral("2"));
    QTest::keyClicks(data(0), QStringLiteral("0A"));
    len()->setFocus();
    QTest::keyClick(len(), Qt::Key_End);
    QTest::keyClick(len(), Qt::Key_Backspace);
    QVERIFY(len()->text().isEmpty());
    for (int i = 0; i < 13; ++i) {
        QVERIFY(!data(i)->isEnabled());
        QVERIFY(data(i)->text().isEmpty());
    }
    click();
    QVERIFY(sent.isEmpty());

    setLength(QStringLiteral("0"));
    click();
    QVERIFY(sent.isEmpty());
}

void SendPanelTest::payloads_data()
{
    QTest::addColumn<QString>("typeText");
    QTest::addColumn<QString>("lenText");
    QTest::addColumn<QStringList>("dataTexts");
    QTest::addColumn<QByteArray>("payload");

    QTest::newRow("7F 02 0A FF") << "7F" << "2" << QStringList{"A", "FF"} << QByteArray("\x7F\x02\x0A\xFF", 4);
    QTest::newRow("empty fields give zero") << "" << "1" << QStringList{""} << QByteArray("\x00\x01\x00", 3);
    QTest::newRow("worked example") << "01" << "2" << QStringList{"0A", "FF"} << QByteArray("\x01\x02\x0A\xFF", 4);
    QTest::newRow("single digit is the low nibble") << "5" << "3" << QStringList{"F", "10", "0"}
                                                    << QByteArray("\x05\x03\x0F\x10\x00", 5);
    QStringList thirteen;
    QByteArray full("\xC0\x0D", 2);
    for (int i = 0; i < 13; ++i) {
        thirteen << QString::asprintf("%02X", 0xA0 + i * 3);
        full.append(static_cast<char>(0xA0 + i * 3));
    }
    QTest::newRow("length D gives 15 bytes") << "C0" << "D" << thirteen << full;
}

void SendPanelTest::payloads()
{
    QFETCH(QString, typeText);
    QFETCH(QString, lenText);
    QFETCH(QStringList, dataTexts);
    QFETCH(QByteArray, payload);

    QTest::keyClicks(type(), typeText);
    setLength(lenText);
    for (int i = 0; i < dataTexts.size(); ++i)
        QTest::keyClicks(data(i), dataTexts.at(i));
    click();
    QCOMPARE(sent.size(), 1);
    QCOMPARE(sent.first(), payload);
}

void SendPanelTest::sameFrameSentAgain()
{
    QTest::keyClicks(type(), QStringLiteral("7F"));
    setLength(QStringLiteral("2"));
    QTest::keyClicks(data(0), QStringLiteral("A"));
    QTest::keyClicks(data(1), QStringLiteral("FF"));
    click();
    click();
    QCOMPARE(sent, (QList<QByteArray>{QByteArray("\x7F\x02\x0A\xFF", 4), QByteArray("\x7F\x02\x0A\xFF", 4)}));
    QCOMPARE(type()->text(), QStringLiteral("7F"));
    QCOMPARE(data(1)->text(), QStringLiteral("FF"));

    // A shorter frame afterwards carries only its own bytes.
    setLength(QStringLiteral("1"));
    click();
    QCOMPARE(sent.last(), QByteArray("\x7F\x01\x0A", 3));
}

void SendPanelTest::clearPanel()
{
    QTest::keyClicks(type(), QStringLiteral("7F"));
    setLength(QStringLiteral("4"));
    for (int i = 0; i < 4; ++i)
        QTest::keyClicks(data(i), QStringLiteral("1") + QString::number(i));

    panel->ClearPanel();
    QVERIFY(type()->text().isEmpty());
    QVERIFY(len()->text().isEmpty());
    QVERIFY(type()->isEnabled() && len()->isEnabled() && button->isEnabled());
    for (int i = 0; i < 13; ++i) {
        QVERIFY(!data(i)->isEnabled());
        QVERIFY(data(i)->text().isEmpty());
    }
    // The length is gone too: the button sends nothing.
    click();
    QVERIFY(sent.isEmpty());

    // On a disabled panel the clear leaves everything disabled.
    setLength(QStringLiteral("2"));
    panel->EnablePanel(false);
    panel->ClearPanel();
    QVERIFY(!type()->isEnabled() && !len()->isEnabled() && !button->isEnabled());
    for (int i = 0; i < 13; ++i)
        QVERIFY(!data(i)->isEnabled());
}

void SendPanelTest::enablePanel()
{
    QTest::keyClicks(type(), QStringLiteral("2A"));
    setLength(QStringLiteral("3"));
    QTest::keyClicks(data(0), QStringLiteral("B1"));

    panel->EnablePanel(false);
    QVERIFY(!type()->isEnabled() && !len()->isEnabled() && !button->isEnabled());
    for (int i = 0; i < 13; ++i)
        QVERIFY(!data(i)->isEnabled());
    QTest::keyClicks(type(), QStringLiteral("1"));
    click();
    QVERIFY(sent.isEmpty());
    QCOMPARE(type()->text(), QStringLiteral("2A"));
    QCOMPARE(data(0)->text(), QStringLiteral("B1"));

    panel->EnablePanel(true);
    QVERIFY(type()->isEnabled() && len()->isEnabled() && button->isEnabled());
    for (int i = 0; i < 13; ++i)
        QCOMPARE(data(i)->isEnabled(), i < 3);
    click();
    QCOMPARE(sent, QList<QByteArray>{QByteArray("\x2A\x03\xB1\x00\x00", 5)});
}

void SendPanelTest::deletingThePanelFreesItsRow()
{
    QPointer<QGroupBox> watched(row);
    QPointer<QLineEdit> field(data(12));
    delete panel;
    panel = nullptr;
    QVERIFY(watched.isNull());
    QVERIFY(field.isNull());
    QVERIFY(host->findChildren<QWidget*>().isEmpty());
}

void SendPanelTest::metaObject()
{
    const QMetaObject* mo = panel->metaObject();
    QCOMPARE(mo->className(), "Analyz");
    QCOMPARE(mo->superClass(), &QMainWindow::staticMetaObject);
    QCOMPARE(mo->methodCount() - mo->methodOffset(), 3);
    const QMetaMethod sig = mo->method(mo->methodOffset());
    QCOMPARE(sig.methodSignature(), QByteArray("send_sig(const char*)"));
    QCOMPARE(sig.methodType(), QMetaMethod::Signal);
    QCOMPARE(sig.parameterNames(), QList<QByteArray>{"buff"});
    const QMetaMethod len = mo->method(mo->methodOffset() + 1);
    QCOMPARE(len.methodSignature(), QByteArray("len_slots(QString)"));
    QCOMPARE(len.methodType(), QMetaMethod::Slot);
    QCOMPARE(len.access(), QMetaMethod::Public);
    const QMetaMethod send = mo->method(mo->methodOffset() + 2);
    QCOMPARE(send.methodSignature(), QByteArray("send_slots()"));
    QCOMPARE(send.methodType(), QMetaMethod::Slot);
    QCOMPARE(send.access(), QMetaMethod::Public);
}

QTEST_MAIN(SendPanelTest)
#include "tst_sendpanel.moc"
