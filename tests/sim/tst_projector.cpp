// The projector model on a fake clock: every step of a script is a time, the bytes that
// arrive then and the exact answer.

#include "protocol/commandtable.h"
#include "sim/projector.h"

#include <QTest>

using namespace qv7;
using namespace qv7::sim;
using namespace std::chrono_literals;

namespace {

struct Step {
    int atMs;
    QByteArray send;
    QByteArray answer;
};
using Script = QList<Step>;

const QByteArray kAck = "\x06\r";
const TimePoint kStart = TimePoint(100h);

void run(SimulatedProjector &projector, const Script &script)
{
    // "at ms: sent -> answer", so a failure names the step.
    const auto exchange = [](const Step &step, const QByteArray &answer) {
        return QByteArray::number(step.atMs) + ": " + step.send.toPercentEncoding() + " -> " +
               answer.toPercentEncoding();
    };
    for (const Step &step : script) {
        const std::string answer = projector.receive(step.send.toStdString(),
                                                     kStart + std::chrono::milliseconds(step.atMs));
        QCOMPARE(exchange(step, QByteArray::fromStdString(answer)), exchange(step, step.answer));
    }
}

} // namespace

Q_DECLARE_METATYPE(Script)

class TstProjector : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void scripts_data();
    void scripts();
    void vocabulary();
    void faultStatus_data();
    void faultStatus();
};

void TstProjector::scripts_data()
{
    QTest::addColumn<int>("speedUp");
    QTest::addColumn<int>("startHours");
    QTest::addColumn<Script>("script");
    const QByteArray rubbish(100000, 'x');
    QTest::newRow("power cycle") << 1 << 0
                                 << Script{{0, "CR0\r", "80\r"},    {0, "C00\r", kAck},
                                           {0, "CR0\r", "40\r"},    {2999, "CR0\r", "40\r"},
                                           {3000, "CR0\r", "00\r"}, {3000, "C02\r", kAck},
                                           {3000, "CR0\r", "20\r"}, {5999, "CR0\r", "20\r"},
                                           {6000, "CR0\r", "80\r"}, {6000, "C00\r", kAck},
                                           {9000, "CR0\r", "00\r"}};
    QTest::newRow("warm-up and cool-down are not cut short")
        << 1 << 0 << Script{{0, "C00\r", kAck},      {1000, "C00\r", kAck},  {1000, "C02\r", ""},
                            {3000, "CR0\r", "00\r"}, {3000, "C02\r", kAck},  {4000, "C00\r", kAck},
                            {4000, "C02\r", ""},     {6000, "CR0\r", "80\r"}};
    QTest::newRow("input select") << 1 << 0
                                  << Script{{0, "CR1\r", "1\r"},   {0, "C00\r", kAck},
                                            {3000, "C06\r", kAck}, {3000, "CR1\r", "2\r"},
                                            {3000, "C07\r", kAck}, {3000, "CR1\r", "3\r"},
                                            {3000, "C05\r", kAck}, {3000, "CR1\r", "1\r"}};
    QTest::newRow("refused in standby")
        << 1 << 0 << Script{{0, "C06\r", ""},    {0, "C0B\r", ""},       {0, "C02\r", ""},
                            {0, "CR1\r", "1\r"}, {0, "CR3\r", "0000\r"}, {0, "CR4\r", "11\r"}};
    QTest::newRow("unknown and malformed lines")
        << 1 << 0 << Script{{0, "C00\r", kAck},   {3000, "C99\r", ""},   {3000, "CR2\r", ""},
                            {3000, "c0b\r", ""},  {3000, "C0\r", ""},    {3000, "C0BB\r", ""},
                            {3000, " C0B\r", ""}, {3000, "C0B\n\r", ""}, {3000, "\r", ""},
                            {3000, "C0B\n", ""},  {3000, "\r", ""},      {3000, "C0B\r", kAck}};
    QTest::newRow("split command")
        << 1 << 0 << Script{{0, "C", ""}, {0, "R", ""}, {0, "0", ""}, {0, "\r", "80\r"}};
    QTest::newRow("joined commands")
        << 1 << 0 << Script{{0, "CR0\rC00\rCR0\r", "80\r" + kAck + "40\r"}};
    QTest::newRow("rubbish is dropped up to its carriage return")
        << 1 << 0
        << Script{{0, rubbish, ""}, {0, rubbish + "CR0", ""}, {0, "\r", ""}, {0, "CR0\r", "80\r"}};
    // The lamp, on at 3000 ms: the warm-up and the cool-down do not count.
    QTest::newRow("lamp in real time") << 1 << 0
                                       << Script{{0, "C00\r", kAck},
                                                 {3000, "CR3\r", "0000\r"},
                                                 {3603000 - 1, "CR3\r", "0000\r"},
                                                 {3603000, "CR3\r", "0001\r"}};
    QTest::newRow("lamp an hour a second")
        << 3600 << 123 << Script{{0, "C00\r", kAck},         {2000, "CR3\r", "0123\r"},
                                 {3999, "CR3\r", "0123\r"},  {4000, "CR3\r", "0124\r"},
                                 {13500, "CR3\r", "0133\r"}, {13500, "C02\r", kAck},
                                 {30000, "CR3\r", "0133\r"}, {30000, "C00\r", kAck},
                                 {33500, "CR3\r", "0134\r"}};
    QTest::newRow("lamp stops at 9999")
        << 1000000 << 9990
        << Script{{0, "C00\r", kAck}, {4000, "CR3\r", "9999\r"}, {100000, "CR3\r", "9999\r"}};
}

void TstProjector::scripts()
{
    QFETCH(int, speedUp);
    QFETCH(int, startHours);
    QFETCH(Script, script);
    SimulatedProjector projector({.lampSpeedUp = speedUp, .lampHours = startHours});
    run(projector, script);
}

void TstProjector::vocabulary()
{
    // Every operation the panel has is acknowledged when on and, but for power on, refused in
    // standby. The queries answer in any state; the scripts check them.
    QByteArrayList operations;
    for (const auto &command : kOneShotCommands) {
        if (command.kind != OneShotKind::Query)
            operations << QByteArray(command.code.data(), command.code.size());
    }
    for (const auto &command : kHoldCommands)
        operations << QByteArray(command.code.data(), command.code.size());
    for (const QByteArray &code : operations) {
        SimulatedProjector standby;
        run(standby, {{0, code + '\r', code == "C00" ? kAck : ""}});
        SimulatedProjector on;
        run(on, {{0, "C00\r", kAck}, {3000, code + '\r', kAck}});
    }
}

void TstProjector::faultStatus_data()
{
    QTest::addColumn<int>("atMs"); // on at 2000 after power on at 0, off at 3000
    QTest::addColumn<bool>("power");
    QTest::addColumn<bool>("temperature");
    QTest::addColumn<QByteArray>("status");
    QTest::newRow("power, while on") << 2500 << true << false << QByteArray("10\r");
    QTest::newRow("temperature, counting down") << 1000 << false << true << QByteArray("48\r");
    QTest::newRow("temperature, on") << 2500 << false << true << QByteArray("08\r");
    QTest::newRow("temperature, cooling") << 4000 << false << true << QByteArray("28\r");
    QTest::newRow("temperature, standby") << 6000 << false << true << QByteArray("88\r");
    QTest::newRow("both") << 2500 << true << true << QByteArray("18\r");
}

void TstProjector::faultStatus()
{
    QFETCH(int, atMs);
    QFETCH(bool, power);
    QFETCH(bool, temperature);
    QFETCH(QByteArray, status);
    SimulatedProjector projector({.warmUp = 2s, .coolDown = 2s, .orientation = "01"});
    run(projector, {{0, "C00\r", kAck}});
    if (atMs > 3000)
        run(projector, {{3000, "C02\r", kAck}});
    const TimePoint now = kStart + std::chrono::milliseconds(atMs);
    projector.setPowerAbnormality(power, now);
    projector.setTemperatureAbnormality(temperature);
    run(projector, {{atMs, "CR0\r", status}, {atMs, "CR4\r", "01\r"}});
    if (!power)
        return;
    // Held in standby: power on is refused until the abnormality is cleared.
    run(projector, {{atMs, "C00\r", ""}});
    projector.setPowerAbnormality(false, now);
    run(projector, {{atMs, "CR0\r", temperature ? "88\r" : "80\r"}, {atMs, "C00\r", kAck}});
}

QTEST_GUILESS_MAIN(TstProjector)
#include "tst_projector.moc"
