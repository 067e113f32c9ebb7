// The traffic rendering, as a plain function; the status decoding is tested through the line.

#include "protocol/rendering.h"

#include <QTest>

using namespace qv7;

class TstTraffic : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void rendering_data();
    void rendering();
    void everyByteIsOneToken();
    void renderingStopsAt32767Characters();
};

void TstTraffic::rendering_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("rendering");
    QTest::newRow("command C00") << QByteArray("C00\r") << QByteArray(" C 0 0 CR ");
    QTest::newRow("query CR0") << QByteArray("CR0\r") << QByteArray(" C R 0 CR ");
    QTest::newRow("reply 0 0 CR") << QByteArray("00\r") << QByteArray(" 0 0 CR ");
    QTest::newRow("ACK alone") << QByteArray("\x06") << QByteArray(" ACK ");
    QTest::newRow("ACK then CR") << QByteArray("\x06\r") << QByteArray(" ACK CR ");
    QTest::newRow("LF has two blanks") << QByteArray("A\n") << QByteArray(" A LF  ");
    QTest::newRow("brace and above") << QByteArray("ab{|}~\x7f") << QByteArray(" a b ? ? ? ? ? ");
    QTest::newRow("z is the last shown") << QByteArray("yz") << QByteArray(" y z ");
    QTest::newRow("blank is shown") << QByteArray(" ") << QByteArray("   ");
    QTest::newRow("other controls") << QByteArray("\x02\x14\x1f") << QByteArray(" ? ? ? ");
    QTest::newRow("NUL") << QByteArray("\0", 1) << QByteArray(" ? ");
    QTest::newRow("bytes above ASCII") << QByteArray("\x80\xff") << QByteArray(" ? ? ");
    QTest::newRow("UTF-8 sequence, one token a byte")
        << QByteArray("\xe2\x86\x91") << QByteArray(" ? ? ? ");
    QTest::newRow("angle brackets stay text") << QByteArray("<b>") << QByteArray(" < b > ");
    QTest::newRow("empty") << QByteArray() << QByteArray(" ");
}

void TstTraffic::rendering()
{
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, rendering);
    QCOMPARE(QByteArray::fromStdString(renderTraffic(text.toStdString())), rendering);
}

void TstTraffic::everyByteIsOneToken()
{
    // A token per byte, whatever the byte: the rendering of a text is the concatenation of
    // the renderings of its bytes, less their leading blanks.
    std::string all;
    std::string expected = " ";
    for (int byte = 0; byte < 256; ++byte) {
        all.push_back(static_cast<char>(byte));
        const std::string single = renderTraffic(std::string(1, static_cast<char>(byte)));
        QVERIFY2(single.size() >= 3 && single.back() == ' ', single.c_str());
        expected += single.substr(1);
    }
    QCOMPARE(renderTraffic(all), expected);
}

void TstTraffic::renderingStopsAt32767Characters()
{
    const std::string text(kMaxRenderedChars + 10, 'A');
    const std::string rendering = renderTraffic(text);
    QCOMPARE(rendering.size(), 1 + 2 * kMaxRenderedChars);
}

QTEST_APPLESS_MAIN(TstTraffic)
#include "tst_traffic.moc"
