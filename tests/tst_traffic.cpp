// The traffic rendering, the status decoding and the script words, as plain functions; the
// engine's tests show them on the lines.

#include "protocol/commandtable.h"
#include "protocol/commandwords.h"
#include "protocol/rendering.h"

#include <QTest>

using namespace qv7;

class TstTraffic : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void rendering_data();
    void rendering();
    void decoding_data();
    void decoding();
    void everyKeyOfTheTables_data();
    void everyKeyOfTheTables();
    void names();
    void commandWords_data();
    void commandWords();
};

void TstTraffic::rendering_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("rendering");
    QTest::newRow("command C00") << QByteArray("C00\r") << QByteArray(" C 0 0 CR ");
    QTest::newRow("query CR0") << QByteArray("CR0\r") << QByteArray(" C R 0 CR ");
    QTest::newRow("ACK alone") << QByteArray("\x06") << QByteArray(" ACK ");
    QTest::newRow("LF has two blanks") << QByteArray("A\n") << QByteArray(" A LF  ");
    QTest::newRow("z is the last shown")
        << QByteArray("yz{|}~\x7f") << QByteArray(" y z ? ? ? ? ? ");
    QTest::newRow("blank and angle brackets stay text")
        << QByteArray(" <b>") << QByteArray("   < b > ");
    // One token a byte, UTF-8 sequences too.
    QTest::newRow("controls and bytes above ASCII")
        << QByteArray("\0\x02\x14\x1f\x80\xe2\x86\x91\xff", 9) << QByteArray(" ? ? ? ? ? ? ? ? ? ");
    QTest::newRow("empty") << QByteArray() << QByteArray(" ");
    QTest::newRow("stops at the limit") << QByteArray(kMaxRenderedChars + 10, 'A')
                                        << " " + QByteArray("A ").repeated(kMaxRenderedChars);
}

void TstTraffic::rendering()
{
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, rendering);
    QCOMPARE(QByteArray::fromStdString(renderTraffic(text.toStdString())), rendering);
}

void TstTraffic::decoding_data()
{
    QTest::addColumn<QByteArray>("code");
    QTest::addColumn<QByteArray>("reply");
    // tst_engine decodes a whole lamp time and a single reversal on the line.
    QTest::addColumn<QString>("status"); // null: the reply decodes to nothing
    QTest::addColumn<QString>("script");
    const struct {
        const char *name, *code, *reply, *status, *script;
    } rows[] = {{"power on", "CR0", "00\r", " Power ON", "Power ON"},
                {"stand by", "CR0", "80\r", " Stand by", "Stand by"},
                {"count down", "CR0", "40\r", " Count down", "Count down"},
                {"power abnormality", "CR0", "10\r", " Power abnormality", nullptr},
                {"temperature 08", "CR0", "08\r", " Temperature abnormality", nullptr},
                {"temperature 88", "CR0", "88\r", " Temperature abnormality", nullptr},
                {"temperature while cooling down", "CR0", "28\r", " Temperature abnormality",
                 "Temperature abnormality"},
                {"power: longer reply", "CR0", "000\r", " Power ON", nullptr},
                {"power: unknown state", "CR0", "55\r", nullptr, nullptr},
                {"power: half a key", "CR0", "0", nullptr, nullptr},
                {"power: ACK", "CR0", "\x06\r", nullptr, nullptr},
                {"input: computer 2", "CR1", "2\r", " Computer 2", "Computer 2"},
                {"input: first character only", "CR1", "12\r", " Computer 1", nullptr},
                {"input: unknown", "CR1", "4\r", nullptr, nullptr},
                {"orientation: both", "CR4", "00\r", " Top/Bottom , Left/Right reversal",
                 "Top/Bottom , Left/Right reversal"},
                {"lamp: in pieces", "CR3", "01", " 0 1  Hour Use", "0 1  Hour Use"},
                {"lamp: ACK", "CR3", "\x06\r", " ACK CR  Hour Use", "ACK CR  Hour Use"},
                {"ON: never decoded", "C00", "00\r", nullptr, nullptr}};
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
    const auto reading = decodeReply(commandString(code.toStdString()), reply.toStdString());
    QCOMPARE(reading ? QString::fromStdString(statusText(*reading)) : QString(), status);
    if (reading && !script.isEmpty())
        QCOMPARE(QString::fromStdString(scriptText(*reading)), script);
}

namespace {

// The reply whose RXD text is the key: each character after a blank is a byte.
template <typename Value>
void addKeys(Subject subject, std::span<const StatusKey<Value>> keys,
             std::span<const Named<Value>> named)
{
    for (const auto &key : keys) {
        QByteArray reply;
        for (qsizetype i = 1; i < qsizetype(key.key.size()); i += 2)
            reply += key.key[std::size_t(i)];
        const auto row = std::ranges::find(named, key.value, &Named<Value>::value);
        QTest::addRow("%d:%s", int(subject), key.key.data())
            << int(subject) << reply + '\r' << QString::fromLatin1(row->text);
    }
}

} // namespace

void TstTraffic::everyKeyOfTheTables_data()
{
    QTest::addColumn<int>("subject");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QString>("status");
    addKeys<PowerState>(Subject::Power, kPowerKeys, kPowerStates);
    addKeys<Input>(Subject::Input, kInputKeys, kInputs);
    addKeys<Orientation>(Subject::Orientation, kOrientationKeys, kOrientations);
}

void TstTraffic::everyKeyOfTheTables()
{
    QFETCH(int, subject);
    QFETCH(QByteArray, reply);
    QFETCH(QString, status);
    const auto reading = decodeReading(Subject(subject), reply.toStdString());
    QVERIFY(reading);
    QCOMPARE(QString::fromStdString(statusText(*reading)), status);
}

void TstTraffic::names()
{
    QCOMPARE(std::get<LampTime>(*decodeReading(Subject::LampTime, "4321\r")).hours, 4321);
    QCOMPARE(inputNamed("PC1"), Input::Pc1);
    QCOMPARE(inputNamed("pc4"), std::nullopt);
}

void TstTraffic::commandWords_data()
{
    QTest::addColumn<QString>("words");
    QTest::addColumn<QString>("parsed"); // "words=codexcount ...", or the error
    const char *const rows[][2] = {
        {"power on", "power on=C00x1"},
        {"Volume UP 3", "volume up 3=C09x3"},
        {"C01 status", "C01=C01x1 status=CR0x1"},
        {"input pc4", "\"pc4\" is no command (qv7ctl --list shows them)"},
        {"C0G", "\"C0G\" is no command (qv7ctl --list shows them)"},
        {"volume up 0", "volume up takes a count from 1 to 100, not 0"}};
    for (const auto &[words, parsed] : rows)
        QTest::newRow(words) << QString::fromLatin1(words) << QString::fromLatin1(parsed);
}

void TstTraffic::commandWords()
{
    QFETCH(QString, words);
    QFETCH(QString, parsed);
    std::vector<std::string> list;
    for (const QString &word : words.split(u' '))
        list.push_back(word.toStdString());
    const ParsedCommands commands = parseCommands(list);
    QString result = QString::fromStdString(commands.error);
    for (const Command &command : commands.commands)
        result +=
            QStringLiteral("%1=%2x%3 ")
                .arg(QString::fromStdString(command.words), QString::fromStdString(command.code))
                .arg(command.count);
    QCOMPARE(result.trimmed(), parsed);
}

QTEST_APPLESS_MAIN(TstTraffic)
#include "tst_traffic.moc"
