// Network port names and the telnet layer of RFC 2217 ports, byte for byte.

#include "protocol/networkport.h"
#include "protocol/telnet.h"

#include <QTest>

using namespace qv7;
using namespace qv7::telnet;

namespace {

QByteArray bytes(std::string_view text)
{
    return QByteArray(text.data(), qsizetype(text.size()));
}

// Pieces as one line to compare: D(hex) for data, WILL/WONT/DO/DONT n, SB n(hex).
QString describe(const std::vector<Piece> &pieces)
{
    static const char *const kNames[] = {"D", "WILL", "WONT", "DO", "DONT", "SB"};
    QStringList parts;
    for (const Piece &piece : pieces) {
        QString part = QString::fromLatin1(kNames[int(piece.kind)]);
        if (piece.kind != Piece::Kind::Data)
            part += QString::number(piece.option);
        if (piece.kind == Piece::Kind::Data || piece.kind == Piece::Kind::Subnegotiation)
            part += u'(' + QString::fromLatin1(bytes(piece.bytes).toHex()) + u')';
        parts << part;
    }
    return parts.join(u' ');
}

std::vector<Piece> parse(const QByteArray &stream, qsizetype pieceSize)
{
    Parser parser;
    std::vector<Piece> pieces;
    for (qsizetype at = 0; at < stream.size(); at += pieceSize)
        parser.feed(stream.mid(at, pieceSize).toStdString(), pieces);
    // Reads that split data give pieces next to each other: compare them joined.
    std::vector<Piece> joined;
    for (Piece &piece : pieces) {
        if (piece.kind == Piece::Kind::Data && !joined.empty() &&
            joined.back().kind == Piece::Kind::Data)
            joined.back().bytes += piece.bytes;
        else
            joined.push_back(std::move(piece));
    }
    return joined;
}

} // namespace

class TstTelnet : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void portNames_data();
    void portNames();
    void badPortNames_data();
    void badPortNames();
    void stream_data();
    void stream();
    void negotiationSettles();
    void lineSettingsRoundTrip_data();
    void lineSettingsRoundTrip();
};

void TstTelnet::portNames_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("rfc2217");
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("port");
    QTest::newRow("tcp, host name") << "tcp://converter-12:4001" << false << "converter-12" << 4001;
    QTest::newRow("rfc2217, IPv4") << "rfc2217://127.0.0.1:2217" << true << "127.0.0.1" << 2217;
    QTest::newRow("IPv6 in brackets") << "tcp://[::1]:4001" << false << "::1" << 4001;
    QTest::newRow("upper-case scheme")
        << "RFC2217://host.example.invalid:1" << true << "host.example.invalid" << 1;
    QTest::newRow("highest port") << "tcp://h:65535" << false << "h" << 65535;
}

void TstTelnet::portNames()
{
    QFETCH(QString, name);
    QFETCH(bool, rfc2217);
    QFETCH(QString, host);
    QFETCH(int, port);
    QVERIFY(isNetworkPortName(name.toStdString()));
    const NetworkPortName parsed = parseNetworkPort(name.toStdString());
    QVERIFY2(parsed.port, parsed.error.c_str());
    QCOMPARE(parsed.port->protocol == NetworkProtocol::Rfc2217, rfc2217);
    QCOMPARE(QString::fromStdString(parsed.port->host), host);
    QCOMPARE(int(parsed.port->port), port);
    QCOMPARE(parseNetworkPort(networkPortName(*parsed.port)).port, parsed.port);
}

void TstTelnet::badPortNames_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("error");
    QTest::newRow("no port") << "tcp://converter"
                             << "no port number";
    QTest::newRow("empty port") << "tcp://converter:"
                                << "no port number";
    QTest::newRow("port 0") << "tcp://converter:0"
                            << "\"0\" is not a port number";
    QTest::newRow("port too big") << "tcp://converter:65536"
                                  << "not a port number";
    QTest::newRow("service name") << "tcp://converter:telnet"
                                  << "not a port number";
    QTest::newRow("path after the port") << "tcp://converter:4001/x"
                                         << "not a port number";
    QTest::newRow("no host") << "rfc2217://:4001"
                             << "no host";
    QTest::newRow("blank in the host") << "tcp://my converter:4001"
                                       << "not a host name";
    QTest::newRow("IPv6 without brackets") << "tcp://::1:4001"
                                           << "in brackets";
    QTest::newRow("unclosed bracket") << "tcp://[::1:4001"
                                      << "no closing bracket";
    QTest::newRow("name in brackets") << "tcp://[converter]:4001"
                                      << "not an IPv6 address";
    QTest::newRow("other scheme") << "udp://converter:4001"
                                  << "not a network port";
}

void TstTelnet::badPortNames()
{
    QFETCH(QString, name);
    QFETCH(QString, error);
    const NetworkPortName parsed = parseNetworkPort(name.toStdString());
    QVERIFY(!parsed.port);
    QVERIFY2(QString::fromStdString(parsed.error).contains(error), parsed.error.c_str());
}

void TstTelnet::stream_data()
{
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<QString>("pieces");
    QTest::newRow("data alone") << QByteArray("C00\r") << "D(4330300d)";
    QTest::newRow("IAC IAC is 255") << QByteArray("A\xff\xff"
                                                  "B")
                                    << "D(41ff42)";
    QTest::newRow("lone 0xFF takes the next byte as a command") << QByteArray("A\xff"
                                                                              "BC")
                                                                << "D(4143)";
    QTest::newRow("commands without options dropped") << QByteArray("A\xff\xf1\xff\xf9"
                                                                    "B")
                                                      << "D(4142)";
    QTest::newRow("negotiation between data") << QByteArray("A\xff\xfd\x2c"
                                                            "B\xff\xfb\x03")
                                              << "D(41) DO44 D(42) WILL3";
    QTest::newRow("subnegotiation with an escaped 255")
        << QByteArray("\xff\xfa\x2c\x65\x00\x00\xff\xff\xff\xf0"
                      "A",
                      11)
        << "SB44(650000ff) D(41)";
    QTest::newRow("unfinished subnegotiation ends at a command") << QByteArray("\xff\xfa\x2c\x6b"
                                                                               "xx\xff\xfb\x01"
                                                                               "AB")
                                                                 << "WILL1 D(4142)";
    QTest::newRow("overlong subnegotiation keeps its start")
        << QByteArray("\xff\xfa\x2c") + QByteArray(100, 'x') +
               QByteArray("\xff\xf0"
                          "A")
        << "SB44(" + QString::fromLatin1(QByteArray(64, 'x').toHex()) + ") D(41)";
    QTest::newRow("empty subnegotiation") << QByteArray("\xff\xfa\x2c\xff\xf0") << "SB44()";
}

void TstTelnet::stream()
{
    QFETCH(QByteArray, stream);
    QFETCH(QString, pieces);
    // Whole, and split at every byte: reads of any size give the same pieces.
    QCOMPARE(describe(parse(stream, stream.size())), pieces);
    QCOMPARE(describe(parse(stream, 1)), pieces);
    QCOMPARE(describe(parse(stream, 3)), pieces);
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
        Parser serverParser, clientParser;
        std::vector<Piece> atServer, atClient;
        serverParser.feed(std::exchange(toServer, {}), atServer);
        clientParser.feed(std::exchange(toClient, {}), atClient);
        for (const Piece &piece : atServer)
            toClient += server.answer(piece.kind, piece.option);
        for (const Piece &piece : atClient)
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

void TstTelnet::lineSettingsRoundTrip_data()
{
    QTest::addColumn<QString>("settings");
    QTest::newRow("fast") << "19200,N,8,1";
    QTest::newRow("slow") << "9600,N,8,1";
    QTest::newRow("even, 7, 2") << "4800,E,7,2";
    QTest::newRow("odd, 5, 1.5") << "2400,O,5,1.5";
    QTest::newRow("mark") << "1200,M,8,1";
    QTest::newRow("space, speed with a 255 byte") << "65535,S,8,1";
}

void TstTelnet::lineSettingsRoundTrip()
{
    QFETCH(QString, settings);
    const LineSettings wanted = *parseLineSettings(settings.toStdString());
    const std::string requests = comport::requestLineSettings(wanted);
    if (wanted.baudRate == 19200)
        QCOMPARE(bytes(requests), QByteArray("\xff\xfa\x2c\x01\x00\x00\x4b\x00\xff\xf0"
                                             "\xff\xfa\x2c\x02\x08\xff\xf0"
                                             "\xff\xfa\x2c\x03\x01\xff\xf0"
                                             "\xff\xfa\x2c\x04\x01\xff\xf0",
                                             31));
    QVERIFY(requests.find("\xff\xfa\x2c\x05") == std::string::npos); // no SET-CONTROL

    // The server takes every request and answers each with what its line now has.
    LineSettings line{115200, Parity::None, 8, StopBits::One};
    Parser atServer;
    std::vector<Piece> requested;
    atServer.feed(requests, requested);
    QCOMPARE(requested.size(), std::size_t(4));
    std::string answers;
    comport::Control control;
    for (const Piece &piece : requested)
        answers += comport::serve(piece.bytes, line, control);
    QCOMPARE(line, wanted);
    // SET-CONTROL is answered with the value now in use: DTR off is taken, hardware flow
    // control is not (the line has none), and a request only asks.
    for (const auto &[asked, answer] : {std::pair{9, 9}, {7, 9}, {3, 1}, {0, 1}, {12, 12}})
        QCOMPARE(bytes(comport::serve(std::string{char(comport::SetControl), char(asked)}, line,
                                      control)),
                 bytes(std::string("\xff\xfa\x2c\x69", 4) + char(answer) + "\xff\xf0"));

    Parser atClient;
    std::vector<Piece> answered;
    atClient.feed(answers, answered);
    QCOMPARE(answered.size(), std::size_t(4));
    for (int i = 0; i < 4; ++i)
        QCOMPARE(comport::acknowledged(answered[std::size_t(i)].bytes),
                 std::optional(comport::Command(comport::SetBaudRate + i)));
    // A notification acknowledges nothing.
    QCOMPARE(comport::acknowledged("\x6b\x30"), std::nullopt);
}

QTEST_GUILESS_MAIN(TstTelnet)
#include "tst_telnet.moc"
