// The traffic rendering and the status decoding, as plain functions.

#include "traffic/decoding.h"
#include "traffic/rendering.h"

#include <QTest>

using namespace qv7;

class TstTraffic : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void rendering_data();
    void rendering();
    void everyByteIsOneToken();
    void renderingStopsAt32767Characters();
    void decoding_data();
    void decoding();
    void decodingIgnoresOtherCommands_data();
    void decodingIgnoresOtherCommands();
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

void TstTraffic::decoding_data()
{
    QTest::addColumn<QByteArray>("command");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QString>("status"); // null: the status line keeps its text

    const QByteArray power = "CR0\r", input = "CR1\r", lamp = "CR3\r", setting = "CR4\r";
    QTest::newRow("power on") << power << QByteArray("00\r") << " Power ON";
    QTest::newRow("stand by") << power << QByteArray("80\r") << " Stand by";
    QTest::newRow("count down") << power << QByteArray("40\r") << " Count down";
    QTest::newRow("cooling down") << power << QByteArray("20\r") << " Cooling down";
    QTest::newRow("power abnormality") << power << QByteArray("10\r") << " Power abnormality";
    for (const char *reply : {"08", "18", "28", "48", "88"})
        QTest::addRow("temperature %s", reply)
            << power << QByteArray(reply) << " Temperature abnormality";
    QTest::newRow("power: only the beginning counts")
        << power << QByteArray("000\r") << " Power ON";
    QTest::newRow("power: one character is too short") << power << QByteArray("0") << QString();
    QTest::newRow("power: unknown state") << power << QByteArray("99\r") << QString();
    QTest::newRow("power: ACK first") << power << QByteArray("\x06\r") << QString();
    QTest::newRow("computer 1") << input << QByteArray("1\r") << " Computer 1";
    QTest::newRow("computer 2") << input << QByteArray("2\r") << " Computer 2";
    QTest::newRow("video") << input << QByteArray("3\r") << " Video";
    QTest::newRow("input: first character only") << input << QByteArray("12\r") << " Computer 1";
    QTest::newRow("input: control first") << input << QByteArray("\r1") << QString();
    QTest::newRow("normally") << setting << QByteArray("11\r") << " Normally";
    QTest::newRow("top/bottom") << setting << QByteArray("10\r") << " Top/Bottom reversal";
    QTest::newRow("left/right") << setting << QByteArray("01\r") << " Left/Right reversal";
    QTest::newRow("both") << setting << QByteArray("00\r") << " Top/Bottom , Left/Right reversal";
    QTest::newRow("lamp hours") << lamp << QByteArray("0123\r") << " 0 1 2 3 Hour Use";
    QTest::newRow("lamp: partial reply") << lamp << QByteArray("01") << " 0 1  Hour Use";
    QTest::newRow("lamp: ACK CR") << lamp << QByteArray("\x06\r") << " ACK CR  Hour Use";
    QTest::newRow("lamp: anything") << lamp << QByteArray() << "  Hour Use";
}

void TstTraffic::decoding()
{
    QFETCH(QByteArray, command);
    QFETCH(QByteArray, reply);
    QFETCH(QString, status);
    const auto decoded = decodeStatus(command.toStdString(), renderTraffic(reply.toStdString()));
    if (status.isNull()) {
        QVERIFY(!decoded);
    } else {
        QVERIFY(decoded);
        QCOMPARE(QString::fromStdString(*decoded), status);
    }
}

void TstTraffic::decodingIgnoresOtherCommands_data()
{
    QTest::addColumn<QByteArray>("command");
    QTest::newRow("power on command") << QByteArray("C00\r");
    QTest::newRow("query without CR") << QByteArray("CR0");
    QTest::newRow("CR2 is no query") << QByteArray("CR2\r");
    QTest::newRow("nothing sent yet") << QByteArray();
}

void TstTraffic::decodingIgnoresOtherCommands()
{
    QFETCH(QByteArray, command);
    QVERIFY(!decodeStatus(command.toStdString(), renderTraffic("00\r")));
}

QTEST_APPLESS_MAIN(TstTraffic)
#include "tst_traffic.moc"
