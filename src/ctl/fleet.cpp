#include "fleet.h"

#include <QCoreApplication>

namespace qv7::ctl {

namespace {

void writeLine(std::FILE *stream, const QString &line)
{
    std::fputs(line.toLocal8Bit().append('\n').constData(), stream);
    std::fflush(stream);
}

void diagnose(const QString &text)
{
    writeLine(stderr, QCoreApplication::applicationName() + QStringLiteral(": ") + text);
}

} // namespace

Fleet::Fleet(const QList<ScriptTarget> &targets, const std::vector<Step> &steps, Options options,
             QObject *parent)
    : QObject(parent)
    , steps_(steps)
    , options_(options)
{
    for (const ScriptTarget &target : targets) {
        runs_.push_back(std::make_unique<Run>());
        runs_.back()->target = target;
    }
}

Fleet::~Fleet() = default;

void Fleet::start()
{
    startMore();
}

void Fleet::startMore()
{
    while (running_ < options_.jobs && started_ < runs_.size()) {
        Run &run = *runs_[started_++];
        run.session = std::make_unique<Session>(run.target, steps_);
        connect(run.session.get(), &Session::commandDone, this,
                [this, &run](const Outcome &outcome) { onOutcome(run, outcome); });
        connect(run.session.get(), &Session::finished, this,
                [this, &run](int exitCode) { onFinished(run, exitCode); });
        ++running_;
        run.session->start();
    }
}

void Fleet::onOutcome(Run &run, const Outcome &outcome)
{
    run.outcomes.append(outcome);
    if (!outcome.error.isEmpty())
        diagnose(options_.named ? run.target.name + QStringLiteral(": ") + outcome.error
                                : outcome.error);
    if (options_.metrics)
        return;
    const QString line = resultLine(outcome, run.target, options_.format, options_.named);
    if (line.isEmpty())
        return;
    const bool prefixed = options_.named && options_.format != Format::Json;
    run.pending.append(prefixed ? run.target.name + QStringLiteral(": ") + line : line);
    run.printed = true;
    flush();
}

void Fleet::onFinished(Run &run, int exitCode)
{
    run.exitCode = exitCode;
    --running_;
    // The session is still inside its own signal: let it return first.
    run.session.release()->deleteLater();
    flush();
    if (printed_ == runs_.size())
        finishAll();
    else
        startMore();
}

void Fleet::flush()
{
    while (printed_ < runs_.size()) {
        Run &run = *runs_[printed_];
        for (const QString &line : std::exchange(run.pending, {}))
            writeLine(stdout, line);
        if (!run.exitCode)
            return;
        // One line for each projector, even one whose commands print nothing.
        if (options_.named && !options_.metrics && !run.printed)
            writeLine(stdout, run.target.name +
                                  (*run.exitCode == 0
                                       ? QStringLiteral(": ok")
                                       : QStringLiteral(": failed (exit %1)").arg(*run.exitCode)));
        ++printed_;
    }
}

void Fleet::finishAll()
{
    QList<Reading> readings;
    QStringList failed;
    int exitCode = 0;
    for (const auto &run : runs_) {
        readings.append({run->target.name, run->outcomes});
        if (*run->exitCode != 0) {
            failed.append(run->target.name);
            if (exitCode == 0)
                exitCode = *run->exitCode;
        }
    }
    if (options_.metrics)
        std::fputs(metrics(readings).toUtf8().constData(), stdout);
    if (options_.named && !failed.isEmpty())
        diagnose(QStringLiteral("%1 of %2 projectors failed: %3")
                     .arg(failed.size())
                     .arg(runs_.size())
                     .arg(failed.join(QStringLiteral(", "))));
    std::fflush(stdout);
    emit finished(exitCode);
}

} // namespace qv7::ctl
