// Replies over the real line: the RXD line, the status decoding, the reply window, the
// display time-out and the display toggle.

#include "panel/layout.h"
#include "protocol/rendering.h"

#include "support/panelfixture.h"

#include <QSignalSpy>
#include <QTest>

#include <optional>

using namespace qv7;

namespace {

QString rendered(const QByteArray &bytes)
{
    return QString::fromLatin1(renderTraffic(bytes.toStdString()));
}

} // namespace

class TstReplies : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void statusDecoding_data();
    void statusDecoding();
    void replyInPieces_data();
    void replyInPieces();
    void lateReply_data();
    void lateReply();
    void missingReplyIsMarkedThenCleared();
    void answeredReplyStaysUntilTheTimeOut();
    void replyWindowGathersAndThenStartsFresh();
    void replyWindowWithoutAwaitingChangesNoLine();
    void transmitRestartsTheReplyWindow();
    void receptionAlwaysEndsTheWait();
    void toggle_data();
    void toggle();
    void toggleRestartsThePortPanelTimer();
    void keyCommandAfterTheToggle();
    void receivedTextKeepsItsNewest32767Characters();
    void otherCommunicationEventsChangeNothing();

private:
    void click(const char *control);
    std::unique_ptr<test::PtyPair> line_;
    std::unique_ptr<test::Panel> panel_;
};

void TstReplies::init()
{
    line_ = std::make_unique<test::PtyPair>();
    panel_ = test::startPanel(line_->slavePath());
    test::keyDown(*panel_->form, Qt::Key_J, 2);
}

void TstReplies::cleanup()
{
    panel_.reset();
    line_.reset();
}

void TstReplies::click(const char *control)
{
    auto *button = qobject_cast<QPushButton *>(panel_->form->control(QString::fromLatin1(control)));
    QVERIFY(button);
    QTest::mouseClick(button, Qt::LeftButton);
    QCOMPARE(line_->read(4).size(), 4);
}

void TstReplies::statusDecoding_data()
{
    QTest::addColumn<QByteArray>("query");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QString>("status"); // null: the status line keeps what it had

    const struct {
        const char *name, *query, *reply, *status;
    } rows[] = {
        {"STATUS: power on", "Command44", "00\r", " Power ON"},
        {"STATUS: stand by", "Command44", "80\r", " Stand by"},
        {"STATUS: count down", "Command44", "40\r", " Count down"},
        {"STATUS: cooling down", "Command44", "20\r", " Cooling down"},
        {"STATUS: power abnormality", "Command44", "10\r", " Power abnormality"},
        {"STATUS: temperature 08", "Command44", "08\r", " Temperature abnormality"},
        {"STATUS: temperature 18", "Command44", "18\r", " Temperature abnormality"},
        {"STATUS: temperature 28", "Command44", "28\r", " Temperature abnormality"},
        {"STATUS: temperature 48", "Command44", "48\r", " Temperature abnormality"},
        {"STATUS: temperature 88", "Command44", "88\r", " Temperature abnormality"},
        {"STATUS: longer reply", "Command44", "000\r", " Power ON"},
        {"STATUS: unknown state", "Command44", "55\r", nullptr},
        {"STATUS: ACK", "Command44", "\x06\r", nullptr},
        {"MODE: computer 1", "Command45", "1\r", " Computer 1"},
        {"MODE: computer 2", "Command45", "2\r", " Computer 2"},
        {"MODE: video", "Command45", "3\r", " Video"},
        {"MODE: first character only", "Command45", "12\r", " Computer 1"},
        {"MODE: unknown input", "Command45", "4\r", nullptr},
        {"SETTING: normally", "Command47", "11\r", " Normally"},
        {"SETTING: top/bottom", "Command47", "10\r", " Top/Bottom reversal"},
        {"SETTING: left/right", "Command47", "01\r", " Left/Right reversal"},
        {"SETTING: both", "Command47", "00\r", " Top/Bottom , Left/Right reversal"},
        {"L-TIME: four digits", "Command46", "0123\r", " 0 1 2 3 Hour Use"},
        {"L-TIME: ACK", "Command46", "\x06\r", " ACK CR  Hour Use"},
        {"ON: never decoded", "Command17", "00\r", nullptr},
        {"C01: never decoded", "Command52", "1\r", nullptr},
    };
    for (const auto &row : rows)
        QTest::newRow(row.name) << QByteArray(row.query) << QByteArray(row.reply)
                                << (row.status ? QString::fromLatin1(row.status) : QString());
}

void TstReplies::statusDecoding()
{
    QFETCH(QByteArray, query);
    QFETCH(QByteArray, reply);
    QFETCH(QString, status);
    Form1 &form = *panel_->form;
    test::widget<QLabel>(form, "Label25")->setText(QStringLiteral("earlier"));
    click(query.constData());
    line_->write(reply);
    QTRY_COMPARE(test::widget<QLabel>(form, "Label12")->text(), rendered(reply));
    QCOMPARE(test::widget<QLabel>(form, "Label25")->text(),
             status.isNull() ? QStringLiteral("earlier") : status);
    QCOMPARE(form.engine().AwaitingReply(), std::uint8_t(0));
}

void TstReplies::replyInPieces_data()
{
    QTest::addColumn<QByteArray>("query");
    QTest::addColumn<QByteArray>("first");
    QTest::addColumn<QString>("statusAfterFirst");
    QTest::addColumn<QByteArray>("second");
    QTest::addColumn<QString>("statusAfterSecond");
    QTest::newRow("power") << QByteArray("Command44") << QByteArray("0")
                           << QStringLiteral("earlier") << QByteArray("0\r")
                           << QStringLiteral(" Power ON");
    QTest::newRow("lamp hours") << QByteArray("Command46") << QByteArray("01")
                                << QStringLiteral(" 0 1  Hour Use") << QByteArray("23\r")
                                << QStringLiteral(" 0 1 2 3 Hour Use");
}

void TstReplies::replyInPieces()
{
    QFETCH(QByteArray, query);
    QFETCH(QByteArray, first);
    QFETCH(QString, statusAfterFirst);
    QFETCH(QByteArray, second);
    QFETCH(QString, statusAfterSecond);
    Form1 &form = *panel_->form;
    test::widget<QLabel>(form, "Label25")->setText(QStringLiteral("earlier"));
    click(query.constData());
    line_->write(first);
    QTRY_COMPARE(test::widget<QLabel>(form, "Label12")->text(), rendered(first));
    QCOMPARE(test::widget<QLabel>(form, "Label25")->text(), statusAfterFirst);
    line_->write(second);
    // The whole reply gathered so far, rendered and decoded again.
    QTRY_COMPARE(test::widget<QLabel>(form, "Label12")->text(), rendered(first + second));
    QCOMPARE(QByteArray::fromStdString(form.engine().ReceivedText()), first + second);
    QCOMPARE(test::widget<QLabel>(form, "Label25")->text(), statusAfterSecond);
}

void TstReplies::lateReply_data()
{
    QTest::addColumn<QByteArray>("second");
    QTest::addColumn<QString>("status");
    QTest::newRow("after a command: shown, not decoded")
        << QByteArray("Command17") << QStringLiteral("earlier");
    QTest::newRow("after another query: decoded as its answer")
        << QByteArray("Command47") << QStringLiteral(" Top/Bottom reversal");
}

void TstReplies::lateReply()
{
    QFETCH(QByteArray, second);
    QFETCH(QString, status);
    Form1 &form = *panel_->form;
    test::widget<QLabel>(form, "Label25")->setText(QStringLiteral("earlier"));
    click("Command44");
    click(second.constData());
    line_->write("10\r");
    QTRY_COMPARE(test::widget<QLabel>(form, "Label12")->text(), QStringLiteral(" 1 0 CR "));
    QCOMPARE(test::widget<QLabel>(form, "Label25")->text(), status);
}

void TstReplies::missingReplyIsMarkedThenCleared()
{
    Form1 &form = *panel_->form;
    click("Command44");
    test::widget<QLabel>(form, "Label25")->setText(QStringLiteral(" Power ON"));
    QCOMPARE(form.engine().AwaitingReply(), std::uint8_t(1));
    QTRY_COMPARE_WITH_TIMEOUT(test::widget<QLabel>(form, "Label12")->text(),
                              QStringLiteral(" X X X X"), 10000);
    QCOMPARE(form.engine().AwaitingReply(), std::uint8_t(0));
    QVERIFY(form.engine().ReceivedText().empty());
    QVERIFY(!test::timer(form, "Timer2")->isActive());
    QCOMPARE(test::widget<QLabel>(form, "Label11")->text(), QStringLiteral(" C R 0 CR "));
    QTRY_VERIFY_WITH_TIMEOUT(test::widget<QLabel>(form, "Label11")->text().isEmpty(), 10000);
    QVERIFY(test::widget<QLabel>(form, "Label12")->text().isEmpty());
    QVERIFY(test::widget<QLabel>(form, "Label25")->text().isEmpty());
    QVERIFY(!test::timer(form, "Timer4")->isActive());
}

void TstReplies::answeredReplyStaysUntilTheTimeOut()
{
    Form1 &form = *panel_->form;
    click("Command44");
    line_->write("00\r");
    QTRY_COMPARE(test::widget<QLabel>(form, "Label25")->text(), QStringLiteral(" Power ON"));
    QTRY_VERIFY_WITH_TIMEOUT(!test::timer(form, "Timer2")->isActive(), 10000);
    QCOMPARE(test::widget<QLabel>(form, "Label12")->text(), QStringLiteral(" 0 0 CR "));
    QVERIFY(form.engine().ReceivedText().empty());
    QTRY_VERIFY_WITH_TIMEOUT(test::widget<QLabel>(form, "Label25")->text().isEmpty(), 10000);
    QVERIFY(test::widget<QLabel>(form, "Label11")->text().isEmpty());
    QVERIFY(test::widget<QLabel>(form, "Label12")->text().isEmpty());
}

void TstReplies::replyWindowGathersAndThenStartsFresh()
{
    Form1 &form = *panel_->form;
    click("Command17");
    line_->write("\x06");
    QTRY_COMPARE(test::widget<QLabel>(form, "Label12")->text(), QStringLiteral(" ACK "));
    line_->write("\r");
    QTRY_COMPARE(test::widget<QLabel>(form, "Label12")->text(), QStringLiteral(" ACK CR "));
    form.engine().Timer2_Timer();
    QVERIFY(form.engine().ReceivedText().empty());
    QCOMPARE(test::widget<QLabel>(form, "Label12")->text(), QStringLiteral(" ACK CR "));
    line_->write("2");
    QTRY_COMPARE(test::widget<QLabel>(form, "Label12")->text(), QStringLiteral(" 2 "));
}

void TstReplies::replyWindowWithoutAwaitingChangesNoLine()
{
    Form1 &form = *panel_->form;
    line_->write("stale");
    QTRY_COMPARE(form.engine().ReceivedText(), std::string("stale"));
    test::widget<QLabel>(form, "Label11")->setText(QStringLiteral("tx"));
    test::widget<QLabel>(form, "Label12")->setText(QStringLiteral("rx"));
    test::widget<QLabel>(form, "Label25")->setText(QStringLiteral("status"));
    test::timer(form, "Timer2")->start();
    form.engine().Timer2_Timer();
    QCOMPARE(test::widget<QLabel>(form, "Label11")->text(), QStringLiteral("tx"));
    QCOMPARE(test::widget<QLabel>(form, "Label12")->text(), QStringLiteral("rx"));
    QCOMPARE(test::widget<QLabel>(form, "Label25")->text(), QStringLiteral("status"));
    QVERIFY(form.engine().ReceivedText().empty());
    QVERIFY(!test::timer(form, "Timer2")->isActive());
}

void TstReplies::transmitRestartsTheReplyWindow()
{
    // Both windows count from the latest transmit: after most of a reply window has gone by,
    // a second command gives it its full length again.
    Form1 &form = *panel_->form;
    test::timer(form, "Timer2")->setInterval(2000);
    test::timer(form, "Timer4")->setInterval(3000);
    click("Command17");
    QTest::qWait(1200);
    QVERIFY(test::timer(form, "Timer2")->isActive());
    click("Command18");
    QVERIFY(test::timer(form, "Timer2")->remainingTime() > 1000);
    QVERIFY(test::timer(form, "Timer4")->remainingTime() > 2000);
}

void TstReplies::receptionAlwaysEndsTheWait()
{
    Form1 &form = *panel_->form;
    click("Command17");
    QCOMPARE(form.engine().AwaitingReply(), std::uint8_t(1));
    line_->write("\x06");
    QTRY_COMPARE(test::widget<QLabel>(form, "Label12")->text(), QStringLiteral(" ACK "));
    QCOMPARE(form.engine().AwaitingReply(), std::uint8_t(0));
}

void TstReplies::toggle_data()
{
    QTest::addColumn<float>("before");
    QTest::addColumn<float>("after");
    QTest::addColumn<QString>("caption");
    const QString show = QStringLiteral("データを表示する");
    const QString hide = QStringLiteral("データを表示しない");
    QTest::newRow("5200 opens") << 5200.0f << 6645.0f << hide;
    QTest::newRow("5999 opens") << 5999.0f << 6645.0f << hide;
    QTest::newRow("6000 counts as tall") << 6000.0f << 5200.0f << show;
    QTest::newRow("6645 closes") << 6645.0f << 5200.0f << show;
    QTest::newRow("7200 closes") << 7200.0f << 5200.0f << show;
}

void TstReplies::toggle()
{
    QFETCH(float, before);
    QFETCH(float, after);
    QFETCH(QString, caption);
    Form1 &form = *panel_->form;
    form.setHeight(before);
    QTest::mouseClick(test::widget<CommandButton>(form, "Command34"), Qt::LeftButton);
    QCOMPARE(form.Height(), after);
    QCOMPARE(form.height(), twipsToPixels(after - 375));
    QCOMPARE(test::widget<CommandButton>(form, "Command34")->text(), caption);
    QVERIFY(test::timer(form, "Timer3")->isActive());
    QCOMPARE(line_->readAll(), QByteArray());
}

void TstReplies::toggleRestartsThePortPanelTimer()
{
    Form1 &form = *panel_->form;
    test::timer(form, "Timer3")->setInterval(2000);
    QTest::mouseClick(test::widget<CommandButton>(form, "Command33"), Qt::LeftButton);
    QTest::qWait(1200);
    QTest::mouseClick(test::widget<CommandButton>(form, "Command34"), Qt::LeftButton);
    QVERIFY(test::timer(form, "Timer3")->remainingTime() > 1000);
    QVERIFY(test::widget<QFrame>(form, "Frame8")->isVisible());
}

void TstReplies::keyCommandAfterTheToggle()
{
    Form1 &form = *panel_->form;
    QTest::mouseClick(test::widget<CommandButton>(form, "Command34"), Qt::LeftButton);
    QCOMPARE(form.Height(), 5200.0f);
    test::keyDown(form, Qt::Key_J, 2);
    QCOMPARE(form.Height(), 7200.0f);
    QCOMPARE(test::widget<CommandButton>(form, "Command34")->text(), QStringLiteral("CLOSE"));
}

void TstReplies::receivedTextKeepsItsNewest32767Characters()
{
    // A projector that talks without being asked: nothing closes the reply window.
    Form1 &form = *panel_->form;
    QByteArray stream;
    for (int i = 0; stream.size() < 40000; ++i)
        stream += QByteArray::number(i) + ' ';
    stream += "END";
    line_->write(stream);
    QTRY_VERIFY_WITH_TIMEOUT(
        QByteArray::fromStdString(form.engine().ReceivedText()).endsWith("END"), 20000);
    QCOMPARE(form.engine().ReceivedText().size(), kMaxRenderedChars);
    QCOMPARE(QByteArray::fromStdString(form.engine().ReceivedText()),
             stream.right(int(kMaxRenderedChars)));
    QCOMPARE(test::widget<QLabel>(form, "Label12")->text(),
             rendered(stream.right(int(kMaxRenderedChars))));
}

void TstReplies::otherCommunicationEventsChangeNothing()
{
    // The projector stops reading: once the transmit buffer is full, the control raises its
    // transmit-buffer event, which reception leaves alone, and the write fails.
    Form1 &form = *panel_->form;
    QSignalSpy events(&form.engine().MSComm1(), &SerialControl::OnComm);
    test::widget<QLabel>(form, "Label12")->setText(QStringLiteral("rx"));
    QSignalSpy failures(&form.engine(), &Engine::failed);
    CommandButton *powerOn = test::widget<CommandButton>(form, "Command17");
    for (int i = 0; i < 1'000'000 && events.isEmpty(); ++i)
        powerOn->click();
    QVERIFY(failures.wait(5000));
    const QString failure = failures.first().first().toString();
    QVERIFY2(failure.contains(QLatin1String("transmit buffer is full")), qPrintable(failure));
    QCOMPARE(form.engine().MSComm1().CommEvent(), short(SerialControl::comEventTxFull));
    QCOMPARE(events.count(), 1);
    QCOMPARE(test::widget<QLabel>(form, "Label12")->text(), QStringLiteral("rx"));
    QVERIFY(form.engine().ReceivedText().empty());
    QCOMPARE(form.engine().AwaitingReply(), std::uint8_t(1));
}

QTEST_MAIN(TstReplies)
#include "tst_replies.moc"
