#pragma once

#include "report.h"
#include "session.h"

#include <QList>
#include <QObject>
#include <QStringList>

#include <cstdio>
#include <memory>
#include <optional>
#include <vector>

namespace qv7::ctl {

// Runs one script on each of a list of projectors, a bounded number at once, and prints their
// results in the order of the list: the first unfinished projector's as they come, the others'
// when their turn comes. Failures go to standard error as they happen.
class Fleet : public QObject {
    Q_OBJECT

public:
    struct Options {
        Format format = Format::Text;
        bool named = false;   // several projectors: results carry their names
        bool metrics = false; // print the monitoring's readings at the end instead
        int jobs = 8;
    };

    Fleet(const QList<ScriptTarget> &targets, const std::vector<Step> &steps, Options options,
          QObject *parent = nullptr);
    ~Fleet() override;

    void start();

signals:
    // The exit status of the first projector in the list that failed, or 0.
    void finished(int exitCode);

private:
    struct Run {
        ScriptTarget target;
        std::unique_ptr<Session> session;
        QList<Outcome> outcomes;
        QStringList pending;  // lines not printed yet
        bool printed = false; // a result line, so far
        std::optional<int> exitCode;
    };

    void startMore();
    void onOutcome(Run &run, const Outcome &outcome);
    void onFinished(Run &run, int exitCode);
    void flush();
    void finishAll();

    std::vector<Step> steps_;
    Options options_;
    std::vector<std::unique_ptr<Run>> runs_;
    std::size_t started_ = 0;
    std::size_t printed_ = 0;
    int running_ = 0;
};

} // namespace qv7::ctl
