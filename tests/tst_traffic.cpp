// The traffic rendering and the status decoding, as plain functions; the engine's tests show
// them on the lines.

#include "protocol/commandtable.h"
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
    void decoding_data();
    void decoding();
    void everyValueHasItsTextAndWord();
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
    QTest::addColumn<QByteArray>("code");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QString>("status"); // null: the reply decodes to nothing
    QTest::addColumn<QString>("script");
    const struct {
        const char *name, *code, *reply, *status, *script;
    } rows[] = {
        {"power on", "CR0", "00\r", " Power ON", "Power ON"},
        {"stand by", "CR0", "80\r", " Stand by", "Stand by"},
        {"count down", "CR0", "40\r", " Count down", "Count down"},
        {"power abnormality", "CR0", "10\r", " Power abnormality", nullptr},
        {"temperature 08", "CR0", "08\r", " Temperature abnormality", nullptr},
        {"temperature 88", "CR0", "88\r", " Temperature abnormality", nullptr},
        {"power: longer reply", "CR0", "000\r", " Power ON", nullptr},
        {"power: unknown state", "CR0", "55\r", nullptr, nullptr},
        {"power: half a key", "CR0", "0", nullptr, nullptr},
        {"power: ACK", "CR0", "\x06\r", nullptr, nullptr},
        {"input: computer 2", "CR1", "2\r", " Computer 2", "Computer 2"},
        {"input: first character only", "CR1", "12\r", " Computer 1", nullptr},
        {"input: unknown", "CR1", "4\r", nullptr, nullptr},
        {"orientation: top/bottom", "CR4", "10\r", " Top/Bottom reversal", nullptr},
        {"orientation: both", "CR4", "00\r", " Top/Bottom , Left/Right reversal",
         "Top/Bottom , Left/Right reversal"},
        {"lamp: four digits", "CR3", "0123\r", " 0 1 2 3 Hour Use", "0123 Hour Use"},
        {"lamp: in pieces", "CR3", "01", " 0 1  Hour Use", "0 1  Hour Use"},
        {"lamp: ACK", "CR3", "\x06\r", " ACK CR  Hour Use", "ACK CR  Hour Use"},
        {"ON: never decoded", "C00", "00\r", nullptr, nullptr},
        {"C01: never decoded", "C01", "1\r", nullptr, nullptr},
    };
    for (const auto &row : rows)
        QTest::newRow(row.name) << QByteArray(row.code) << QByteArray(row.reply)
                                << (row.status ? QString::fromLatin1(row.status) : QString())
                                << QString::fromLatin1(row.script);
}

void TstTraffic::decoding()
{
    QFETCH(QByteArray, code);
    QFETCH(QByteArray, reply);
    QFETCH(QString, status);
    QFETCH(QString, script);
    const auto reading =
        decodeReply(commandString(code.toStdString()), renderTraffic(reply.toStdString()));
    QCOMPARE(reading.has_value(), !status.isNull());
    if (!reading)
        return;
    QCOMPARE(QString::fromStdString(statusText(*reading)), status);
    if (!script.isEmpty())
        QCOMPARE(QString::fromStdString(scriptText(*reading)), script);
}

void TstTraffic::everyValueHasItsTextAndWord()
{
    // Every key reads as a value whose text starts with its blank, and the lamp's hours are
    // the number its digits make.
    for (const auto &key : kPowerKeys)
        QVERIFY(statusText(*decodeReading(Subject::Power, key.key)).starts_with(' '));
    for (const auto &key : kInputKeys)
        QVERIFY(!word(std::get<Input>(*decodeReading(Subject::Input, key.key))).empty());
    const auto lamp = std::get<LampTime>(*decodeReading(Subject::LampTime, " 4 3 2 1 CR "));
    QCOMPARE(lamp.hours, 4321);
    QCOMPARE(powerWords(),
             (std::vector<std::string_view>{"on", "standby", "warming", "cooling", "fault"}));
    QCOMPARE(inputNamed("PC1"), Input::Pc1);
    QCOMPARE(inputNamed("pc4"), std::nullopt);
}

QTEST_APPLESS_MAIN(TstTraffic)
#include "tst_traffic.moc"
