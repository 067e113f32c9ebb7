// The projector as programs use it, over a real pseudo-terminal: commands queue with one in
// flight, each completes exactly once, a held verb is held for its count of sends, and a
// failure completes the command in flight and keeps the queue.

#include "engine/projector.h"

#include "support/ptypair.h"

#include <QSignalSpy>
#include <QTest>

using namespace qv7;

namespace {

Command command(const char *words)
{
    std::vector<std::string> list;
    for (const QString &word : QString::fromLatin1(words).split(u' '))
        list.push_back(word.toStdString());
    return parseCommands(list).commands.front();
}

Result result(const QSignalSpy &done, qsizetype i)
{
    return done.at(i).first().value<Result>();
}

} // namespace

class TstRequests : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void oneInFlightEachCompletesOnce();
    void heldVerbIsHeldForItsCount();
    void lostLineCompletesTheCommandInFlightAndKeepsTheQueue();

private:
    std::unique_ptr<test::PtyPair> line_;
    std::unique_ptr<Projector> projector_;
};

void TstRequests::init()
{
    line_ = std::make_unique<test::PtyPair>();
    projector_ = std::make_unique<Projector>();
    QVERIFY(projector_->open({line_->slavePath(), line_->slavePath()}));
}

void TstRequests::cleanup()
{
    projector_.reset();
    line_.reset();
}

void TstRequests::oneInFlightEachCompletesOnce()
{
    QSignalSpy done(projector_.get(), &Projector::done);
    for (const char *words : {"status", "lamp-hours", "input pc1"})
        projector_->request(command(words));
    QCOMPARE(line_->read(4), QByteArray("CR0\r"));
    QCOMPARE(line_->readAll(200), QByteArray()); // the next waits for this one's reply
    line_->write("00\r");
    QCOMPARE(line_->read(4), QByteArray("CR3\r"));
    line_->write("0123\r");
    QCOMPARE(line_->read(4), QByteArray("C05\r"));
    QTRY_COMPARE_WITH_TIMEOUT(done.count(), 3, 5000);
    QCOMPARE(result(done, 0).reading, Reading(PowerState::On));
    QCOMPARE(std::get<LampTime>(*result(done, 1).reading).hours, 123);
    QCOMPARE(result(done, 1).reply, QByteArray("0123\r"));
    const Result unanswered = result(done, 2);
    QCOMPARE(unanswered.failure->kind, FailureKind::NoReply);
    QCOMPARE(unanswered.failure->description, QStringLiteral("no reply to C05 within 500 ms"));
    QCOMPARE(unanswered.rendering, QStringLiteral(" X X X X"));
    QVERIFY(projector_->isOpen());
    QVERIFY(projector_->idle());
    QTest::qWait(700); // past the reply window: nothing completes twice
    QCOMPARE(done.count(), 3);
}

void TstRequests::heldVerbIsHeldForItsCount()
{
    QSignalSpy done(projector_.get(), &Projector::done);
    projector_->request(command("volume up 3"));
    QCOMPARE(line_->read(12), QByteArray("C09\rC09\rC09\r"));
    line_->write("\x06\r");
    QTRY_COMPARE(done.count(), 1);
    QCOMPARE(line_->readAll(600), QByteArray());
    QVERIFY(!result(done, 0).failure);
}

void TstRequests::lostLineCompletesTheCommandInFlightAndKeepsTheQueue()
{
    QSignalSpy done(projector_.get(), &Projector::done);
    QSignalSpy failed(projector_.get(), &Projector::failed);
    projector_->request(command("volume up 50"));
    projector_->request(command("status"));
    QCOMPARE(line_->read(4), QByteArray("C09\r"));
    line_->closeMaster();
    QVERIFY(failed.wait(5000));
    QTest::qWait(300);
    QCOMPARE(done.count(), 1);
    QCOMPARE(failed.count(), 1);
    QCOMPARE(result(done, 0).failure->kind, FailureKind::Lost);
    QVERIFY(!projector_->isOpen());
    QVERIFY(!projector_->idle()); // the status query waits for the next open
}

QTEST_GUILESS_MAIN(TstRequests)
#include "tst_requests.moc"
