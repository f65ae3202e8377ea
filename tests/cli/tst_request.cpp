// Session request lines as korvane-cli reads them, and the frame patterns
// of expect_frame.

#include "framepattern.h"
#include "hexbytes.h"
#include "request.h"

#include <QTest>

class RequestTest : public QObject
{
    Q_OBJECT

private slots:
    void request_data();
    void request();
    void pattern_data();
    void pattern();
};

void RequestTest::request_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("sent");  // the frame a send writes; empty when the line is refused
    QTest::addColumn<QString>("error"); // part of the refusal
    QTest::addColumn<QString>("id");    // the id the answer carries, as JSON
    QTest::newRow("data with blanks, lower case") << R"({"id":1,"cmd":"send","type":1,"data":"0a ff"})" << "2E01020AFFF3" << "" << "1";
    QTest::newRow("no data: len 0") << R"({"id":"a","cmd":"send","type":5})" << "2E0500FA" << "" << "\"a\"";
    QTest::newRow("type above a byte") << R"({"id":2,"cmd":"send","type":256})" << "" << "0..255" << "2";
    QTest::newRow("type as text") << R"({"id":3,"cmd":"send","type":"01"})" << "" << "whole number" << "3";
    QTest::newRow("odd hex digits") << R"({"id":4,"cmd":"send","type":1,"data":"0AF"})" << "" << "odd number" << "4";
    QTest::newRow("a blank inside a byte") << R"({"id":5,"cmd":"raw","data":"0 A"})" << "" << "not a hex byte" << "5";
    QTest::newRow("negative timeout") << R"({"id":6,"cmd":"expect_frame","timeout_ms":-1})" << "" << "timeout_ms" << "6";
    QTest::newRow("unknown expectation") << R"({"id":7,"cmd":"send","type":1,"expect":"yes"})" << "" << "expect" << "7";
    QTest::newRow("unknown command keeps its id") << R"({"id":"x","cmd":"reboot"})" << "" << "unknown cmd" << "\"x\"";
    QTest::newRow("malformed JSON has no id") << R"({"id":8,"cmd":)" << "" << "malformed" << "null";
    QTest::newRow("an id that is a list") << R"({"id":[1],"cmd":"send","type":1})" << "" << "\"id\" must be" << "null";
    QTest::newRow("an id that is an object") << R"({"id":{"n":1},"cmd":"ping"})" << "" << "\"id\" must be" << "null";
    QTest::newRow("an id that is true") << R"({"id":true,"cmd":"send","type":1})" << "" << "\"id\" must be" << "null";
    // A mistyped key would leave its default standing: refused, named.
    QTest::newRow("mistyped pattern") << R"({"id":9,"cmd":"expect_frame","patern":"99 ??"})" << "" << "unknown key \"patern\"" << "9";
    QTest::newRow("mistyped expect") << R"({"id":10,"cmd":"send","type":1,"expct":"nak"})" << "" << "unknown key \"expct\"" << "10";
    QTest::newRow("timeout for timeout_ms") << R"({"id":11,"cmd":"send","type":1,"timeout":500})" << "" << "unknown key \"timeout\"" << "11";
    QTest::newRow("a key of another command") << R"({"id":12,"cmd":"ping","mode":"nak"})" << "" << "unknown key \"mode\"" << "12";
    QTest::newRow("not an object") << "[1,2]" << "" << "object" << "null";
}

void RequestTest::request()
{
    QFETCH(QString, line);
    QFETCH(QString, sent);
    QFETCH(QString, error);
    QFETCH(QString, id);
    Request r;
    std::string why;
    const bool ok = parseRequest(line.toStdString(), r, why);
    QCOMPARE(QString::fromStdString(r.id.dump()), id);
    QVERIFY2(ok == error.isEmpty(), why.c_str());
    if (!ok)
        QVERIFY2(QString::fromStdString(why).contains(error), why.c_str());
    if (!sent.isEmpty())
        QCOMPARE(QString::fromStdString(HexBytes::compact(r.bytes.data(), r.bytes.size())), sent);
}

void RequestTest::pattern_data()
{
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<QString>("frame"); // type, then the data bytes kept
    QTest::addColumn<int>("len");       // as received
    QTest::addColumn<bool>("good");
    QTest::addColumn<bool>("matches");
    QTest::newRow("?? takes any byte") << "01 ?? 0A" << "01FF0A" << 2 << true << true;
    QTest::newRow("pairs run together") << "01??0a" << "01330A" << 2 << true << true;
    QTest::newRow("a bad checksum never matches") << "01 ?? 0A" << "01FF0A" << 2 << false << false;
    QTest::newRow("fewer data bytes") << "01 ?? 0A" << "01FF" << 1 << true << false;
    QTest::newRow("more data bytes") << "01 ?? 0A" << "01FF0A00" << 3 << true << false;
    QTest::newRow("another type") << "01 ?? 0A" << "02FF0A" << 2 << true << false;
    QTest::newRow("any type, no data") << "??" << "07" << 0 << true << true;
    QTest::newRow("no pattern: any good frame") << "" << "07AA" << 1 << true << true;
    QTest::newRow("a frame cut at 50 data bytes") << "??" + QString(" ??").repeated(50) << "07" + QString("00").repeated(50)
                                                  << 60 << true << false;
}

void RequestTest::pattern()
{
    QFETCH(QString, pattern);
    QFETCH(QString, frame);
    QFETCH(int, len);
    QFETCH(bool, good);
    QFETCH(bool, matches);
    FramePattern p;
    std::string why;
    QVERIFY2(p.parse(pattern.toStdString(), why), why.c_str());
    std::vector<std::uint8_t> bytes;
    QVERIFY(HexBytes::parsePairs(frame.toStdString(), bytes, why));
    ReceivedFrame f;
    f.type = bytes[0];
    f.data.assign(bytes.begin() + 1, bytes.end());
    f.len = static_cast<std::uint8_t>(len);
    f.good = good;
    QCOMPARE(p.matches(f), matches);
}

QTEST_GUILESS_MAIN(RequestTest)
#include "tst_request.moc"
