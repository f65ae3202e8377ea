// The frame decoder driven through the window's own poll: bytes written to a
// pseudo-terminal linked as COM2 are read by the poll tick, decoded into the
// ring, shown, logged and answered on the line.

#include "windowsupport.h"

#include <QTemporaryDir>

using namespace TestSupport;

class DecoderTest : public TestSupport::WindowTest
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void frames_data();
    void frames();
    void lengthAbove50KeepsFiftyBytes();
    void repliesBeforeAStartByte();
    void eightyFramesWrapTheRing();
    void halfFrameWaitsAcrossClose();

private:
    QByteArray repliesAfter(const QByteArray& bytes, int expectedReplies);

    TestSupport::Pty* pty = nullptr;
};

void DecoderTest::init()
{
    makeWindow(false);
    pty = new TestSupport::Pty;
    QVERIFY(pty->isValid());
    QVERIFY(ports->link(QStringLiteral("COM2"), pty->slavePath()));
    probe->ui().portBox->setValue(2);
    QTest::mouseClick(probe->ui().open, Qt::LeftButton);
    QVERIFY(probe->linkOpen());
}

void DecoderTest::cleanup()
{
    dropWindow();
    delete pty;
    pty = nullptr;
}

QByteArray DecoderTest::repliesAfter(const QByteArray& bytes, int expectedReplies)
{
    pty->write(bytes);
    QByteArray replies;
    QDeadlineTimer deadline(10000);
    while (replies.size() < expectedReplies && !deadline.hasExpired()) {
        QTest::qWait(2); // the window polls from this event loop
        replies += pty->readAvailable();
    }
    return replies;
}

void DecoderTest::frames_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QByteArray>("replies");
    QTest::addColumn<QString>("rowTail"); // empty: nothing logged

    QTest::newRow("worked example") << QByteArray::fromHex("2E01020AFFF3") << QByteArray::fromHex("FF")
                                    << ",2E,01,02,0A,FF,F3,-,[2]";
    QTest::newRow("checksum off by one") << QByteArray::fromHex("2E01020AFFF4") << QByteArray::fromHex("F0") << "";
    QTest::newRow("len 0") << QByteArray::fromHex("2E0500FA") << QByteArray::fromHex("FF") << ",2E,05,00,FA,-,[2]";
    QTest::newRow("checksum equal to ACK") << QByteArray::fromHex("2E0001FFFF") << QByteArray::fromHex("FF")
                                           << ",2E,00,01,FF,FF,-,[2]";
    QTest::newRow("start, ACK and NAK values inside") << QByteArray::fromHex("2E2E03FFF02EB1")
                                                      << QByteArray::fromHex("FF") << ",2E,2E,03,FF,F0,2E,B1,-,[2]";
    QTest::newRow("noise before the start byte") << QByteArray::fromHex("0011222E0500FA")
                                                 << QByteArray::fromHex("FF") << ",2E,05,00,FA,-,[2]";
    QTest::newRow("two frames, one bad") << QByteArray::fromHex("2E0500FB2E0500FA") << QByteArray::fromHex("F0FF")
                                         << ",2E,05,00,FA,-,[2]";
}

void DecoderTest::frames()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QByteArray, replies);
    QFETCH(QString, rowTail);

    QCOMPARE(repliesAfter(bytes, replies.size()).toHex(), replies.toHex());
    QCOMPARE(probe->rxState(), 0);
    const QStringList rows = logRows();
    if (rowTail.isEmpty()) {
        QVERIFY2(rows.isEmpty(), qPrintable(rows.join(QLatin1Char('|'))));
        QCOMPARE(probe->rxSlot(), 0);
    } else {
        QCOMPARE(rows.size(), 1);
        QVERIFY2(rows[0].endsWith(rowTail), qPrintable(rows[0]));
        QCOMPARE(probe->rxSlot(), 1);
        QVERIFY(!probe->record(0).time.isNull());
    }
    // Nothing in these streams is a reply to us.
    QVERIFY(probe->ui().ack_label->text().isEmpty());
}

void DecoderTest::lengthAbove50KeepsFiftyBytes()
{
    // len 51: the record keeps 50 bytes, the 51st is taken as the checksum
    // (and fails), the sender's checksum is then scanned as noise.
    QByteArray frame = QByteArray::fromHex("2E0133");
    frame += QByteArray(51, '\x01');
    frame += char(0xFF & ~(0x01 + 0x33 + 51));
    QCOMPARE(repliesAfter(frame, 1).toHex(), QByteArray("f0"));
    QTRY_COMPARE(probe->rxState(), 0);
    QCOMPARE(probe->record(0).len, 50);
    QCOMPARE(probe->rxSlot(), 0);
    QVERIFY(logRows().isEmpty());

    // The next good frame is assembled in the same slot and delivered.
    QCOMPARE(repliesAfter(QByteArray::fromHex("2E01020AFFF3"), 1).toHex(), QByteArray("ff"));
    QCOMPARE(probe->record(0).len, 2);
    QCOMPARE(logRows().size(), 1);
}

void DecoderTest::repliesBeforeAStartByte()
{
    pty->write(QByteArray::fromHex("00FF11"));
    QTRY_COMPARE(probe->ui().ack_label->text(), QStringLiteral("ack:ff"));
    pty->write(QByteArray::fromHex("F0"));
    QTRY_COMPARE(probe->ui().ack_label->text(), QStringLiteral("ack:f0"));
    QCOMPARE(probe->rxState(), 0);
    QVERIFY(pty->readAvailable().isEmpty()); // replies are not answered
}

void DecoderTest::eightyFramesWrapTheRing()
{
    QByteArray stream;
    for (int i = 0; i < 81; ++i) {
        const quint8 data[2] = {quint8(i), quint8(0x80 + i)};
        quint8 frame[6];
        LinkFrame::encode(0x42, 2, data, frame);
        stream.append(reinterpret_cast<const char*>(frame), 6);
    }
    const QByteArray replies = repliesAfter(stream, 81);
    QCOMPARE(replies, QByteArray(81, '\xFF'));
    QCOMPARE(probe->rxSlot(), 1);
    // The 81st frame went into the record that held the first.
    QCOMPARE(probe->record(0).data[0], quint8(80));
    QCOMPARE(probe->record(79).data[0], quint8(79));
    const QStringList rows = logRows();
    QCOMPARE(rows.size(), 81);
    QVERIFY(rows.last().endsWith(QStringLiteral(",42,02,50,D0,9B,-,[82]")));
}

void DecoderTest::halfFrameWaitsAcrossClose()
{
    pty->write(QByteArray::fromHex("2E0102"));
    QTRY_COMPARE(probe->rxState(), 3);
    QTest::mouseClick(probe->ui().open, Qt::LeftButton); // close
    QVERIFY(!probe->linkOpen());
    QTest::mouseClick(probe->ui().open, Qt::LeftButton); // open again
    QVERIFY(probe->linkOpen());
    QCOMPARE(repliesAfter(QByteArray::fromHex("0AFFF3"), 1).toHex(), QByteArray("ff"));
    QCOMPARE(logRows().size(), 1);
}

QTEST_MAIN(DecoderTest)
#include "tst_decoder.moc"
