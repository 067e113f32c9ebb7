// One line in the daemon, over a real pseudo-terminal on which the test plays the projector:
// every command goes out in the order it was asked for, the daemon's own polls among them, so
// no poll can overtake a client's command, however busy the line; and a line that another
// program holds without a lock is never published.

#include "bridge/lineowner.h"
#include "manualclock.h"
#include "protocol/commandwords.h"
#include "protocol/rendering.h"
#include "ptypair.h"
#include "sim/projector.h"

#include <QProcess>
#include <QSignalSpy>
#include <QTest>

using namespace qv7;
using namespace std::chrono_literals;
using namespace Qt::StringLiterals;

class TstLineOwner : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void pollsWaitTheirTurn_data();
    void pollsWaitTheirTurn();
    void sharedLineIsNotPublished_data();
    void sharedLineIsNotPublished();
    void holderAfterAnEarlierSilence();
    void heldUntilReleased_data();
    void heldUntilReleased();
    void changesAnnouncedOnce();
    void waitingIsBounded();
    void holdEndsByItself();

private:
    // Opened, its first polls answered, and on, so that every command can be taken at once.
    void startOn();
    // Reads the next command off the line and answers it as the projector would.
    QByteArray answerNext();
    // Moves the clock on a little at a time until the owner sends something: the answer takes
    // real time, which one long step would not give it before its reply window closed.
    void advanceUntilSent();
    void submit(const char *verb, const char *argument);

    test::ManualClock clock_;
    std::unique_ptr<test::PtyPair> line_;
    std::unique_ptr<bridge::LineOwner> owner_;
    sim::SimulatedProjector projector_;
    sim::TimePoint now_{};
    int completed_ = 0;
};

void TstLineOwner::init()
{
    line_ = std::make_unique<test::PtyPair>();
    projector_ = sim::SimulatedProjector();
    completed_ = 0;
    InventoryEntry entry;
    entry.name = QStringLiteral("hall");
    entry.port = line_->slavePath();
    owner_ =
        std::make_unique<bridge::LineOwner>(entry, bridge::LineOwner::Settings{}, nullptr, clock_);
}

void TstLineOwner::startOn()
{
    owner_->start();
    for (const char *query : {"CR0", "CR1", "CR3", "CR4"})
        QCOMPARE(answerNext(), QByteArray(query));
    submit("power", "on");
    for (const char *step : {"C00", "CR0", "CR1"}) // the input is asked for once it is on
        QCOMPARE(answerNext(), QByteArray(step));
    QTRY_COMPARE_WITH_TIMEOUT(owner_->line().state().power, std::optional(PowerState::On), 5000);
}

void TstLineOwner::cleanup()
{
    owner_.reset();
    line_.reset();
}

QByteArray TstLineOwner::answerNext()
{
    const QByteArray sent = line_->read(4);
    now_ += 10s; // past any warm-up
    const std::string answer = projector_.receive(sent.toStdString(), now_);
    QSignalSpy received(&owner_->line(), &Line::received);
    line_->write(QByteArray::fromStdString(answer));
    // Taken before the clock moves on, which would otherwise close the reply window first.
    if (!answer.empty() && !QTest::qWaitFor(
                               [&] {
                                   return !received.isEmpty() &&
                                          received.last().first().value<Reception>().text == answer;
                               },
                               5000))
        qWarning("the answer to %s never came", sent.constData());
    // A reply window that no carriage return closes closes when its time is up.
    if (!answer.ends_with(kCommandTerminator))
        clock_.advance(500ms);
    return sent.chopped(1);
}

void TstLineOwner::advanceUntilSent()
{
    // The display time-out has cleared the TXD line long before a poll shows on it.
    clock_.advance(1s);
    for (int step = 0; step < 1000 && owner_->traffic().txd().isEmpty(); ++step)
        clock_.advance(100ms);
}

void TstLineOwner::submit(const char *verb, const char *argument)
{
    const ParsedCommands parsed = parseCommands(std::string(verb) + ' ' + argument);
    QCOMPARE(parsed.commands.size(), 1u);
    owner_->line().submit(
        parsed.commands, [this](const Result &, const QString &) { ++completed_; }, 0s);
}

void TstLineOwner::pollsWaitTheirTurn_data()
{
    QTest::addColumn<QByteArray>("verb");
    QTest::addColumn<QByteArray>("argument");
    QTest::addColumn<QByteArray>("code");
    QTest::addColumn<QByteArray>("followUp");

    QTest::newRow("input asks for the input")
        << QByteArray("input") << QByteArray("pc2") << QByteArray("C06") << QByteArray("CR1");
    QTest::newRow("power asks for the power")
        << QByteArray("power") << QByteArray("off") << QByteArray("C02") << QByteArray("CR0");
}

void TstLineOwner::pollsWaitTheirTurn()
{
    QFETCH(QByteArray, verb);
    QFETCH(QByteArray, argument);
    QFETCH(QByteArray, code);
    QFETCH(QByteArray, followUp);
    startOn();

    // The first goes on the line at once; the mute waits behind it. The follow-up poll the
    // first one's answer asks for is queued after the mute, and must be sent after it.
    submit(verb.constData(), argument.constData());
    submit("video-mute", "on");
    QCOMPARE(answerNext(), code);
    QCOMPARE(answerNext(), QByteArray("C0D"));
    QCOMPARE(answerNext(), followUp);
    QTRY_COMPARE_WITH_TIMEOUT(completed_, 3, 5000);
    // What a person sent last stays on show for its display time-out, the poll behind it not.
    QCOMPARE(owner_->traffic().txd(), u" C 0 D CR "_s);
    clock_.advance(1s);
    QVERIFY(owner_->traffic().txd().isEmpty());
}

void TstLineOwner::sharedLineIsNotPublished_data()
{
    QTest::addColumn<bool>("shared");
    QTest::newRow("held by a process that takes no lock") << true;
    QTest::newRow("alone, with a silent projector") << false;
}

void TstLineOwner::sharedLineIsNotPublished()
{
    QFETCH(bool, shared);
    QProcess shell; // holds the device from its redirection until its input closes
    if (shared) {
        shell.start(u"sh"_s, {u"-c"_s, u"exec 3<>\"$0\"; echo; read x"_s, line_->slavePath()});
        QVERIFY(shell.waitForReadyRead(10000));
    }
    QSignalSpy claimed(owner_.get(), &bridge::LineOwner::claimed);
    owner_->start();
    QCOMPARE(line_->read(4), QByteArray("CR0\r")); // and no answer, as if the holder took it
    clock_.advance(500ms);
    if (shared) {
        QTRY_VERIFY_WITH_TIMEOUT(!owner_->line().isUp(), 5000);
        QVERIFY(!owner_->isClaimed());
        QCOMPARE(claimed.count(), 0);
    } else {
        QTRY_COMPARE_WITH_TIMEOUT(claimed.count(), 1, 5000);
        QCOMPARE(owner_->line().state().link, Link::Silent);
    }
    shell.closeWriteChannel();
    shell.waitForFinished();
}

void TstLineOwner::holderAfterAnEarlierSilence()
{
    // A silence in which nobody else held the device, an answer, and then a program that
    // takes no lock: the next silence is looked into again, and the holder named.
    QSignalSpy failed(&owner_->line(), &Line::failed);
    owner_->start();
    QCOMPARE(line_->read(4), QByteArray("CR0\r"));
    clock_.advance(500ms);
    QTRY_COMPARE_WITH_TIMEOUT(owner_->line().state().link, Link::Silent, 5000);
    QCOMPARE(answerNext(), QByteArray("CR1"));
    QProcess shell;
    shell.start(u"sh"_s, {u"-c"_s, u"exec 3<>\"$0\"; echo; read x"_s, line_->slavePath()});
    QVERIFY(shell.waitForReadyRead(10000));
    QCOMPARE(line_->read(4), QByteArray("CR3\r"));
    clock_.advance(500ms);
    QTRY_COMPARE_WITH_TIMEOUT(failed.count(), 1, 5000);
    const QString description = failed.first().first().value<Failure>().description;
    QVERIFY2(description.contains(u"in use by sh (pid %1)"_s.arg(shell.processId())),
             qPrintable(description));
    shell.closeWriteChannel();
    shell.waitForFinished();
}

void TstLineOwner::heldUntilReleased_data()
{
    QTest::addColumn<bool>("beforeItsTurn");
    QTest::newRow("let go while it repeats") << false;
    QTest::newRow("let go behind another command: sent once") << true;
}

void TstLineOwner::heldUntilReleased()
{
    QFETCH(bool, beforeItsTurn);
    startOn();
    QSignalSpy traffic(owner_.get(), &bridge::LineOwner::trafficChanged);
    std::optional<Result> outcome;
    const HoldCommand &volumeUp = *findHoldVerb({"volume", "up"});
    if (beforeItsTurn)
        submit("status", "");
    const auto hold =
        owner_->line().holdDown(volumeUp, [&](const Result &result, const QString &notSent) {
            QVERIFY(notSent.isEmpty());
            outcome = result;
        });
    if (beforeItsTurn) {
        owner_->line().letGo(hold);
        QCOMPARE(answerNext(), QByteArray("CR0"));
        QCOMPARE(answerNext(), QByteArray("C09"));
    } else {
        for (int send = 0; send < 3; ++send) {
            if (send > 0)
                clock_.advance(volumeUp.timings->repeat);
            QCOMPARE(answerNext(), QByteArray("C09"));
        }
        QVERIFY(owner_->traffic().txd().contains(u"C 0 9"_s));
        owner_->line().letGo(hold);
    }
    QTRY_VERIFY_WITH_TIMEOUT(outcome.has_value(), 5000);
    QVERIFY(!outcome->failure);
    QCOMPARE(outcome->command.code, std::string("C09"));
    // Nothing more after the release: several of the hold's periods go by in silence.
    clock_.advance(volumeUp.timings->repeat * 4);
    QCOMPARE(line_->readAll(), QByteArray());
    QVERIFY(!traffic.isEmpty());
}

void TstLineOwner::changesAnnouncedOnce()
{
    startOn();
    QSignalSpy changes(&owner_->line(), &Line::stateChanged);
    const auto settled = [this] {
        // Everything before it has been taken once this completes.
        const int before = completed_;
        submit("status", "");
        QCOMPARE(answerNext(), QByteArray("CR0"));
        QTRY_COMPARE_WITH_TIMEOUT(completed_, before + 1, 5000);
    };
    // Polls that read what is known already announce nothing.
    for (int poll = 0; poll < 3; ++poll) {
        advanceUntilSent();
        QCOMPARE(answerNext(), QByteArray("CR0"));
    }
    settled();
    QCOMPARE(changes.count(), 0);
    // A change is announced once, however often it is read again.
    submit("power", "off");
    QCOMPARE(answerNext(), QByteArray("C02"));
    QCOMPARE(answerNext(), QByteArray("CR0"));
    settled();
    settled();
    QCOMPARE(changes.count(), 1);
    QCOMPARE(changes.first().first().value<LineState::Field>(), LineState::Field::Power);
}

void TstLineOwner::waitingIsBounded()
{
    startOn();
    const HoldCommand &volumeUp = *findHoldVerb({"volume", "up"});
    const auto hold = owner_->line().holdDown(volumeUp, [](const Result &, const QString &) {});
    QCOMPARE(answerNext(), QByteArray("C09"));
    // Behind the hold: one command whose asker goes away, then as many as the line takes.
    QStringList notSent;
    const auto record = [&](const Result &, const QString &why) { notSent << why; };
    auto client = std::make_unique<QObject>();
    owner_->line().submit(parseCommands("power off").commands, record, 0s, {client.get(), {}});
    for (std::size_t i = 1; i <= Line::kMostQueued; ++i)
        owner_->line().submit(parseCommands("status").commands, record, 0s);
    QCOMPARE(notSent.size(), 1);
    QVERIFY2(notSent.first().contains(u"wait for this line already"_s),
             qPrintable(notSent.first()));
    client.reset();
    owner_->line().letGo(hold);
    QTRY_COMPARE_WITH_TIMEOUT(notSent.size(), 2, 5000);
    QVERIFY2(notSent.last().contains(u"has gone"_s), qPrintable(notSent.last()));
    // The queries go out; the power off never does.
    QCOMPARE(answerNext(), QByteArray("CR0"));
}

void TstLineOwner::holdEndsByItself()
{
    startOn();
    bool done = false;
    owner_->line().holdDown(*findHoldVerb({"volume", "up"}),
                            [&](const Result &, const QString &) { done = true; });
    QCOMPARE(answerNext(), QByteArray("C09"));
    clock_.advance(Line::kLongestHold);
    QTRY_VERIFY_WITH_TIMEOUT(done, 5000);
    line_->readAll();
    clock_.advance(10s);
    QCOMPARE(line_->readAll(), QByteArray());
}

QTEST_GUILESS_MAIN(TstLineOwner)
#include "tst_lineowner.moc"
