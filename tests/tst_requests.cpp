// The projector as programs use it, over a real pseudo-terminal: one command in flight, each
// completes exactly once, a held verb is held for its count of sends, and a failure completes
// the command in flight.

#include "engine/line.h"

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
    void lostLineCompletesTheCommandInFlight();

private:
    std::unique_ptr<test::PtyPair> line_;
    std::unique_ptr<Line> projector_;
};

void TstRequests::init()
{
    line_ = std::make_unique<test::PtyPair>();
    projector_ = std::make_unique<Line>(Line::Discipline::Requests);
    QVERIFY(projector_->open({line_->slavePath(), line_->slavePath()}));
}

void TstRequests::cleanup()
{
    projector_.reset();
    line_.reset();
}

void TstRequests::oneInFlightEachCompletesOnce()
{
    QSignalSpy done(projector_.get(), &Line::done);
    QVERIFY(projector_->request(command("status")));
    QVERIFY(projector_->busy());
    QVERIFY(!projector_->request(command("lamp-hours"))); // refused while one is on the line
    QCOMPARE(line_->read(4), QByteArray("CR0\r"));
    line_->write("00\r");
    QVERIFY(done.wait(5000));
    QCOMPARE(result(done, 0).reading, Reading(PowerState::On));
    QVERIFY(!projector_->busy());

    QVERIFY(projector_->request(command("lamp-hours")));
    QCOMPARE(line_->read(4), QByteArray("CR3\r")); // the refused one never went out
    line_->write("0123\r");
    QVERIFY(done.wait(5000));
    QCOMPARE(std::get<LampTime>(*result(done, 1).reading).hours, 123);
    QCOMPARE(result(done, 1).reply, QByteArray("0123\r"));

    // A whole reply window without an answer: an earlier reply counted again would end it.
    QVERIFY(projector_->request(command("input pc1")));
    QCOMPARE(line_->read(4), QByteArray("C05\r"));
    QVERIFY(done.wait(5000));
    QCOMPARE(done.count(), 3);
    const Result unanswered = result(done, 2);
    QCOMPARE(unanswered.failure->kind, FailureKind::NoReply);
    QCOMPARE(unanswered.failure->description, QStringLiteral("no reply to C05 within 500 ms"));
    QCOMPARE(replyLine(unanswered), QStringLiteral(" X X X X"));
    QVERIFY(projector_->isReady());
}

void TstRequests::heldVerbIsHeldForItsCount()
{
    QSignalSpy done(projector_.get(), &Line::done);
    QVERIFY(projector_->request(command("volume up 3")));
    QCOMPARE(line_->read(12), QByteArray("C09\rC09\rC09\r"));
    line_->write("\x06\r");
    QVERIFY(done.wait(5000));
    QVERIFY(!result(done, 0).failure);
    QCOMPARE(result(done, 0).reply, QByteArray("\x06\r"));
    // What follows on the line is the next command, not a fourth send.
    QVERIFY(projector_->request(command("status")));
    QCOMPARE(line_->read(4), QByteArray("CR0\r"));
}

void TstRequests::lostLineCompletesTheCommandInFlight()
{
    QSignalSpy done(projector_.get(), &Line::done);
    QSignalSpy failed(projector_.get(), &Line::failed);
    QVERIFY(projector_->request(command("volume up 50")));
    QCOMPARE(line_->read(4), QByteArray("C09\r"));
    line_->closeMaster();
    QVERIFY(failed.wait(5000));
    QCOMPARE(done.count(), 1); // before the failure's report
    QCOMPARE(failed.count(), 1);
    QCOMPARE(result(done, 0).failure->kind, FailureKind::Lost);
    QVERIFY(!projector_->isReady());
    QVERIFY(!projector_->busy());
    QVERIFY(!projector_->request(command("status")));
}

QTEST_GUILESS_MAIN(TstRequests)
#include "tst_requests.moc"
