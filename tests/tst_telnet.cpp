// Network port names, line settings and the telnet layer of RFC 2217 ports, byte for byte.

#include "protocol/linesettings.h"
#include "protocol/networkport.h"
#include "protocol/telnet.h"

#include <QHostAddress>
#include <QTest>

using namespace qv7;
using namespace qv7::telnet;
using namespace std::string_view_literals;

namespace {

QByteArray bytes(std::string_view text)
{
    return QByteArray(text.data(), qsizetype(text.size()));
}

std::vector<Piece> parse(std::string_view stream, std::size_t readSize = std::string::npos)
{
    Parser parser;
    std::vector<Piece> pieces;
    for (std::size_t at = 0; at < stream.size(); at += readSize)
        parser.feed(stream.substr(at, readSize), pieces);
    return pieces;
}

// The stream fed in reads of readSize, as one line to compare: D(hex) for data, joined across
// reads, WILL/WONT/DO/DONT n, SB n(hex).
QString describe(const QByteArray &stream, std::size_t readSize)
{
    const std::vector<Piece> pieces = parse(stream.toStdString(), readSize);
    static const char *const kNames[] = {"D", "WILL", "WONT", "DO", "DONT", "SB"};
    QString text;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        const Piece &piece = pieces[i];
        const QString hex = QString::fromLatin1(bytes(piece.bytes).toHex());
        if (piece.kind == Piece::Kind::Data && i > 0 && pieces[i - 1].kind == Piece::Kind::Data) {
            text.insert(text.size() - 2, hex); // into "D(..) "
            continue;
        }
        text += QString::fromLatin1(kNames[int(piece.kind)]);
        if (piece.kind != Piece::Kind::Data)
            text += QString::number(piece.option);
        text += piece.kind == Piece::Kind::Data || piece.kind == Piece::Kind::Subnegotiation
                    ? u'(' + hex + u')'
                    : QString();
        text += u' ';
    }
    return text.trimmed();
}

} // namespace

class TstTelnet : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void portNames_data();
    void portNames();
    void ipAddresses_data();
    void ipAddresses();
    void stream_data();
    void stream();
    void negotiationSettles();
    void lineSettings_data();
    void lineSettings();
};

void TstTelnet::portNames_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("parsed"); // "protocol host port", or a part of the error
    const char *const rows[][2] = {
        {"tcp://converter-12:4001", "tcp converter-12 4001"},
        {"rfc2217://127.0.0.1:2217", "rfc2217 127.0.0.1 2217"},
        {"tcp://[::1]:4001", "tcp ::1 4001"},
        {"RFC2217://host.example.invalid:1", "rfc2217 host.example.invalid 1"},
        {"tcp://h:65535", "tcp h 65535"},
        {"tcp://converter", "no port number"},
        {"tcp://converter:", "no port number"},
        {"tcp://converter:0", "\"0\" is not a port number"},
        {"tcp://converter:65536", "not a port number"},
        {"tcp://converter:telnet", "not a port number"},
        {"tcp://converter:4001/x", "not a port number"},
        {"rfc2217://:4001", "no host"},
        {"tcp://my converter:4001", "not a host name"},
        {"tcp://::1:4001", "in brackets"},
        {"tcp://[::1:4001", "no closing bracket"},
        {"tcp://[converter]:4001", "not an IPv6 address"},
        {"udp://converter:4001", "not a network port"}};
    for (const auto &[name, parsed] : rows)
        QTest::newRow(name) << QString::fromLatin1(name) << QString::fromLatin1(parsed);
}

void TstTelnet::portNames()
{
    QFETCH(QString, name);
    QFETCH(QString, parsed);
    const NetworkPortName result = parseNetworkPort(name.toStdString());
    if (!result.port) {
        QVERIFY2(QString::fromStdString(result.error).contains(parsed), result.error.c_str());
        return;
    }
    QVERIFY(isNetworkPortName(name.toStdString()));
    QCOMPARE(QStringLiteral("%1 %2 %3")
                 .arg(result.port->protocol == NetworkProtocol::Rfc2217 ? "rfc2217" : "tcp",
                      QString::fromStdString(result.port->host))
                 .arg(result.port->port),
             parsed);
    QCOMPARE(parseNetworkPort(networkPortName(*result.port)).port, result.port);
}

void TstTelnet::ipAddresses_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("address");
    const std::pair<const char *, bool> rows[] = {{"127.0.0.1", true},
                                                  {"127.255.255.255", true},
                                                  {"127.0.0.256", false},
                                                  {"127.0.1", false},
                                                  {"127.0.0.1.1", false},
                                                  {"127.0.0.", false},
                                                  {"127..0.1", false},
                                                  {"-127.0.0.1", false},
                                                  {"", false},
                                                  {"localhost", false},
                                                  {"::1", true},
                                                  {"0::1", true},
                                                  {"::1%lo", true},
                                                  {"::1%", false},
                                                  {"0:0:0:0:0:0:0:1", true},
                                                  {"0:0:0:0:0:0:1", false},
                                                  {"0:0:0:0:0:0:0:0:1", false},
                                                  {"0::0::1", false},
                                                  {":::", false},
                                                  {":1", false},
                                                  {"::1:", false},
                                                  {"00001::1", false},
                                                  {"g::1", false},
                                                  {"::ffff:127.0.0.1", true},
                                                  {"::ffff:127.0.0", false},
                                                  {"0:0:0:0:0:ffff:127.0.0.1", true},
                                                  {"127.0.0.1::", false}};
    for (const auto &[text, address] : rows)
        QTest::newRow(*text ? text : "empty") << QString::fromLatin1(text) << address;
}

// What the inventory takes, the bridge's sockets must take too; Qt takes a little more
// ("127.0.1" as 127.0.0.1, an empty scope).
void TstTelnet::ipAddresses()
{
    QFETCH(QString, text);
    QFETCH(bool, address);
    QCOMPARE(isIpAddress(text.toStdString()), address);
    if (address)
        QVERIFY(!QHostAddress(text).isNull());
}

void TstTelnet::stream_data()
{
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<QString>("pieces");
    const struct {
        const char *name;
        std::string_view stream;
        const char *pieces;
    } rows[] = {
        {"IAC IAC is 255", "A\xff\xff\x42", "D(41ff42)"},
        {"lone 0xFF takes the next byte as a command", "A\xff\x42\x43", "D(4143)"},
        {"commands without options dropped", "A\xff\xf1\xff\xf9\x42", "D(4142)"},
        {"negotiation between data", "A\xff\xfd\x2c\x42\xff\xfb\x03", "D(41) DO44 D(42) WILL3"},
        {"subnegotiation with an escaped 255", "\xff\xfa\x2c\x65\x00\x00\xff\xff\xff\xf0\x41"sv,
         "SB44(650000ff) D(41)"},
        {"unfinished subnegotiation ends at a command", "\xff\xfa\x2c\x6bxx\xff\xfb\x01\x41\x42",
         "WILL1 D(4142)"},
        {"empty subnegotiation", "\xff\xfa\x2c\xff\xf0", "SB44()"}};
    for (const auto &row : rows)
        QTest::newRow(row.name) << bytes(row.stream) << QString::fromLatin1(row.pieces);
    QTest::newRow("overlong subnegotiation keeps its start")
        << "\xff\xfa\x2c" + QByteArray(100, 'x') + "\xff\xf0\x41"
        << "SB44(" + QString::fromLatin1(QByteArray(64, 'x').toHex()) + ") D(41)";
}

void TstTelnet::stream()
{
    QFETCH(QByteArray, stream);
    QFETCH(QString, pieces);
    // Whole, and split at every byte: reads of any size give the same pieces.
    for (const std::size_t size : {std::string::npos, std::size_t(1), std::size_t(3)})
        QCOMPARE(describe(stream, size), pieces);
}

void TstTelnet::negotiationSettles()
{
    // A client and a server as the transport and the simulator set them up, the server
    // offering to echo as ser2net does: the exchange ends, with each option where both agree.
    Options client({kComPort, kBinary, kSuppressGoAhead}, {kBinary, kSuppressGoAhead});
    Options server({kBinary, kSuppressGoAhead, kEcho}, {kBinary, kSuppressGoAhead, kComPort});
    std::string toServer = client.offer(kComPort) + client.offer(kBinary) + client.ask(kBinary);
    std::string toClient = server.ask(kComPort) + server.offer(kEcho) + server.ask(kBinary);
    int rounds = 0;
    while ((!toServer.empty() || !toClient.empty()) && ++rounds < 10) {
        for (const Piece &piece : parse(std::exchange(toServer, {})))
            toClient += server.answer(piece.kind, piece.option);
        for (const Piece &piece : parse(std::exchange(toClient, {})))
            toServer += client.answer(piece.kind, piece.option);
    }
    QVERIFY(rounds < 10);
    QCOMPARE(client.ours(kComPort), Options::State::On);
    QCOMPARE(server.theirs(kComPort), Options::State::On);
    QCOMPARE(client.ours(kBinary), Options::State::On);
    QCOMPARE(client.theirs(kBinary), Options::State::On);
    QCOMPARE(client.theirs(kEcho), Options::State::Off); // the server may not echo
    QCOMPARE(server.ours(kEcho), Options::State::Off);
    // An option nobody offered is refused, and refused only once.
    QCOMPARE(bytes(client.answer(Piece::Kind::Will, 99)), QByteArray("\xff\xfe\x63"));
    QCOMPARE(bytes(client.answer(Piece::Kind::Do, 99)), QByteArray("\xff\xfc\x63"));
    QCOMPARE(bytes(client.answer(Piece::Kind::Wont, 99)), QByteArray());
}

void TstTelnet::lineSettings_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("parsed"); // empty: rejected
    QTest::newRow("fast") << "19200,N,8,1"
                          << "19200,N,8,1";
    QTest::newRow("even, 7, 2") << "4800,E,7,2"
                                << "4800,E,7,2";
    QTest::newRow("lower-case odd, 5, 1.5") << "2400,o,5,1.5"
                                            << "2400,O,5,1.5";
    QTest::newRow("space, speed with a 255 byte") << "65535,S,8,1"
                                                  << "65535,S,8,1";
    for (const char *text : {"", "19200,N,8", "19200,N,8,1,1", "fast,N,8,1", "0,N,8,1",
                             "19200 ,N,8,1", "19200,X,8,1", "19200,N,9,1", "19200,N,8,3"})
        QTest::newRow(text) << text << QString();
}

void TstTelnet::lineSettings()
{
    // As the serial control reads them, then sent over RFC 2217 to a server that takes them.
    QFETCH(QString, text);
    QFETCH(QString, parsed);
    const auto settings = parseLineSettings(text.toStdString());
    QCOMPARE(settings ? QString::fromStdString(formatLineSettings(*settings)) : QString(), parsed);
    if (!settings)
        return;
    const std::string requests = comport::requestLineSettings(*settings);
    if (settings->baudRate == 19200)
        QCOMPARE(bytes(requests), QByteArray::fromHex("fffa2c0100004b00fff0 fffa2c0208fff0 "
                                                      "fffa2c0301fff0 fffa2c0401fff0"));
    QVERIFY(requests.find("\xff\xfa\x2c\x05") == std::string::npos); // no SET-CONTROL

    // The server takes every request and answers each with what its line now has.
    LineSettings line{115200, Parity::None, 8, StopBits::One};
    const std::vector<Piece> requested = parse(requests);
    QCOMPARE(requested.size(), std::size_t(4));
    std::string answers;
    comport::Control control;
    for (const Piece &piece : requested)
        answers += comport::serve(piece.bytes, line, control);
    QCOMPARE(line, *settings);
    // SET-CONTROL is answered with the value now in use: DTR off is taken, hardware flow
    // control is not (the line has none), and a request only asks.
    for (const auto &[asked, answer] : {std::pair{9, 9}, {7, 9}, {3, 1}, {0, 1}, {12, 12}})
        QCOMPARE(bytes(comport::serve(std::string{char(comport::SetControl), char(asked)}, line,
                                      control)),
                 bytes(std::string("\xff\xfa\x2c\x69", 4) + char(answer) + "\xff\xf0"));

    const std::vector<Piece> answered = parse(answers);
    QCOMPARE(answered.size(), std::size_t(4));
    for (int i = 0; i < 4; ++i)
        QCOMPARE(comport::acknowledged(answered[std::size_t(i)].bytes),
                 std::optional(comport::Command(comport::SetBaudRate + i)));
    // A notification acknowledges nothing.
    QCOMPARE(comport::acknowledged("\x6b\x30"), std::nullopt);
}

QTEST_GUILESS_MAIN(TstTelnet)
#include "tst_telnet.moc"
