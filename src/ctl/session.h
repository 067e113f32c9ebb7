#pragma once

#include "engine/line.h"
#include "script.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <optional>
#include <vector>

namespace qv7::ctl {

// A projector to run a script on: its name in results, the port as the command line or the
// inventory named it, and the line it is reached by.
struct ScriptTarget {
    QString name;
    QString port;
    Target line;
};

// What one command of a script came to.
struct Outcome {
    QString words;                  // as the script said it: "volume up 3", "wait on"
    QString code;                   // what went out: "C09"
    QByteArray reply;               // the bytes that came back for it
    QString rendering;              // the RXD line: the reply's rendering, or the no-reply mark
    std::optional<Reading> reading; // what a query's reply reads
    int exitCode = 0;
    QString error; // for a failure: what went wrong, naming the port
};

// The power state's machine word ("on", "standby", ...) of an outcome that read one.
std::optional<QString> powerWord(const Outcome &outcome);

// Runs a script on one projector: opens its line, sends each command in turn as the panel's
// buttons would, and closes the line when the script is done or a command failed.
class Session : public QObject {
    Q_OBJECT

public:
    Session(ScriptTarget target, std::vector<Step> steps, QObject *parent = nullptr);

    void start();
    const ScriptTarget &target() const { return target_; }

signals:
    void commandDone(const qv7::ctl::Outcome &outcome);
    void finished(int exitCode);

private:
    void next();
    void onDone(const Result &result);
    void stepDone(const Result &result);
    void poll();
    void pollDone(const WaitFor &wait, const Result &result);
    void fail(int exitCode, const QString &error);
    void finish(int exitCode);

    ScriptTarget target_;
    std::vector<Step> steps_;
    std::size_t current_ = 0;
    Line line_;
    Outcome outcome_;
    QElapsedTimer waited_;
    QDeadlineTimer waitDeadline_;
    QElapsedTimer sincePoll_;
    QTimer pollTimer_;
    bool finished_ = false;
};

} // namespace qv7::ctl
