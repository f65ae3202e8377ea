// The frame line of the traffic view and the log row derived from it.

#include "display.h"
#include "trafficfixtures.h"
#include "trafficformat.h"

#include <QTest>

using Fixtures::expectedLine;
using Fixtures::expectedRow;
using Fixtures::record;

class TrafficFormatTest : public QObject
{
    Q_OBJECT

private slots:
    void hexByte_data();
    void hexByte();
    void everyByteIsTwoUpperCaseDigits();
    void frameLineAndRow_data();
    void frameLineAndRow();
    void documentedExample();
    void staleDataBeyondLenIsNotListed();
    void statusTextGivesNoRow_data();
    void statusTextGivesNoRow();
};

void TrafficFormatTest::hexByte_data()
{
    QTest::addColumn<int>("byte");
    QTest::addColumn<QString>("text");
    QTest::newRow("zero") << 0x00 << " 00";
    QTest::newRow("low digit") << 0x05 << " 05";
    QTest::newRow("letter low nibble") << 0x0A << " 0A";
    QTest::newRow("letters") << 0xAB << " AB";
    QTest::newRow("start byte") << 0x2E << " 2E";
    QTest::newRow("high nibble only") << 0xF0 << " F0";
    QTest::newRow("max") << 0xFF << " FF";
}

void TrafficFormatTest::hexByte()
{
    QFETCH(int, byte);
    QFETCH(QString, text);
    QCOMPARE(Display::HexByte(static_cast<unsigned char>(byte)), text);
}

void TrafficFormatTest::everyByteIsTwoUpperCaseDigits()
{
    for (int b = 0; b < 256; ++b) {
        const QString text = Display::HexByte(static_cast<unsigned char>(b));
        QCOMPARE(text.size(), 3);
        QCOMPARE(text.at(0), QLatin1Char(' '));
        QCOMPARE(text.mid(1), text.mid(1).toUpper());
        bool ok = false;
        QCOMPARE(text.mid(1).toInt(&ok, 16), b);
        QVERIFY(ok);
    }
}

void TrafficFormatTest::frameLineAndRow_data()
{
    QTest::addColumn<QDateTime>("time");
    QTest::addColumn<int>("type");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<int>("index");

    const QDate day(2026, 12, 7);
    QByteArray fifty;
    for (int i = 0; i < LinkFrame::MaxRecordData; ++i)
        fifty.append(static_cast<char>(0xF5 - 3 * i));

    QTest::newRow("len 0") << QDateTime(day, QTime(12, 34, 56, 789)) << 0x01 << QByteArray() << 1;
    QTest::newRow("len 0, type and sum letters") << QDateTime(day, QTime(23, 59, 59, 999)) << 0xAB << QByteArray() << 3;
    QTest::newRow("len 1, sum FF") << QDateTime(day, QTime(0, 0, 0, 0)) << 0x00 << QByteArray("\xFF", 1) << 7;
    QTest::newRow("ms below 10") << QDateTime(day, QTime(9, 5, 1, 7)) << 0x05 << QByteArray("\x0A\xFF", 2) << 12;
    QTest::newRow("ms below 100") << QDateTime(day, QTime(9, 5, 1, 42)) << 0x7F << QByteArray("\x2E\xF0\x00", 3) << 4;
    QTest::newRow("ms 100") << QDateTime(day, QTime(18, 0, 7, 100)) << 0x10 << QByteArray("\x0b\xc0", 2) << 123;
    QTest::newRow("len 13") << QDateTime(day, QTime(1, 2, 3, 4)) << 0xEE
                            << QByteArray("\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d", 13) << 1234;
    QTest::newRow("len 50, 1 digit") << QDateTime(day, QTime(10, 20, 30, 40)) << 0x3C << fifty << 9;
    QTest::newRow("5 digits") << QDateTime(day, QTime(11, 11, 11, 11)) << 0x02 << QByteArray("\xab", 1) << 12345;
    QTest::newRow("6 digits") << QDateTime(day, QTime(11, 11, 11, 11)) << 0x02 << QByteArray("\xab", 1) << 123456;
    QTest::newRow("7 digits") << QDateTime(day, QTime(11, 11, 11, 11)) << 0x02 << QByteArray() << 1234567;
    QTest::newRow("8 digits") << QDateTime(day, QTime(11, 11, 11, 11)) << 0x02 << QByteArray("\x00", 1) << 12345678;
    QTest::newRow("9 digits") << QDateTime(day, QTime(11, 11, 11, 11)) << 0xC3 << QByteArray("\xd4\xe5", 2) << 123456789;
    QTest::newRow("10 digits") << QDateTime(day, QTime(11, 11, 11, 11)) << 0x02 << QByteArray() << 1234567890;
    QTest::newRow("len 50, 10 digits") << QDateTime(day, QTime(13, 14, 15, 16)) << 0xFF << fifty << 2147483647;
}

void TrafficFormatTest::frameLineAndRow()
{
    QFETCH(QDateTime, time);
    QFETCH(int, type);
    QFETCH(QByteArray, data);
    QFETCH(int, index);

    const TYPE_Data r = record(time, static_cast<std::uint8_t>(type),
                               std::vector<std::uint8_t>(data.begin(), data.end()));
    const int k = data.size();
    const int d = QString::number(index).size();

    const QString line = TrafficFormat::frameLine(r, index);
    QCOMPARE(line, expectedLine(r, index));
    QCOMPARE(line.size(), 28 + 3 * k + d);
    QVERIFY(line.size() <= TrafficFormat::MaxLineLength);

    const QByteArray row = TrafficFormat::rowFromLine(line);
    QCOMPARE(row, expectedRow(r, index));
    QCOMPARE(row.size(), 30 + 3 * k + d);
    QCOMPARE(row.count(','), 7 + k);
    QVERIFY(!row.contains(' '));
    QVERIFY(!row.contains('\r'));
}

void TrafficFormatTest::documentedExample()
{
    const TYPE_Data r = record(QDateTime(QDate(2026, 12, 7), QTime(12, 34, 56, 789)), 0x01, {0x0A, 0xFF});
    QCOMPARE(r.sum, std::uint8_t(0xF3));
    const QString line = TrafficFormat::frameLine(r, 1);
    QCOMPARE(line, QStringLiteral("12:34:56.789  2E 01 02 0A FF F3 [1]"));
    QCOMPARE(TrafficFormat::rowFromLine(line), QByteArray("12:34:56,789,2E,01,02,0A,FF,F3,-,[1]\n"));

    const TYPE_Data longest = record(QDateTime(QDate(2026, 1, 1), QTime(0, 0)), 0, std::vector<std::uint8_t>(50, 0));
    QCOMPARE(TrafficFormat::frameLine(longest, 2000000000).size(), 188);
    QCOMPARE(TrafficFormat::rowFromLine(TrafficFormat::frameLine(longest, 2000000000)).size(), 190);
    // The last 64-bit index, far past what a signed 32-bit count holds.
    const QString last = TrafficFormat::frameLine(longest, 18446744073709551615ULL);
    QVERIFY(last.endsWith(QStringLiteral(" [18446744073709551615]")));
    QCOMPARE(TrafficFormat::rowFromLine(last).size(), 200);
}

void TrafficFormatTest::staleDataBeyondLenIsNotListed()
{
    TYPE_Data r = record(QDateTime(QDate(2026, 12, 7), QTime(9, 5, 1, 7)), 0x21, {0x01, 0x02, 0x03, 0x04});
    r.len = 0; // a short frame reusing a slot that held a longer one
    r.sum = 0xDE;
    QCOMPARE(TrafficFormat::frameLine(r, 5), QStringLiteral("09:05:01.007  2E 21 00 DE [5]"));
    QCOMPARE(TrafficFormat::rowFromLine(TrafficFormat::frameLine(r, 5)), QByteArray("09:05:01,007,2E,21,00,DE,-,[5]\n"));
}

void TrafficFormatTest::statusTextGivesNoRow_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("empty") << QString();
    QTest::newRow("short") << QStringLiteral("open ok");
    QTest::newRow("no index") << QStringLiteral("12:34:56.789  2E 01 00 FE");
    QTest::newRow("too long") << QString(TrafficFormat::MaxLineLength + 1, QLatin1Char('[')) ;
}

void TrafficFormatTest::statusTextGivesNoRow()
{
    QFETCH(QString, text);
    QVERIFY(TrafficFormat::rowFromLine(text).isEmpty());
}

QTEST_MAIN(TrafficFormatTest)
#include "tst_trafficformat.moc"
