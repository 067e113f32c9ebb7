#pragma once

#include "engine.h"
#include "protocol/decoding.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>

#include <optional>

namespace qv7 {

// What came back for one command.
struct Reply {
    QByteArray bytes;               // empty: nothing within the reply window
    QString rendering;              // the RXD line, or the no-reply mark
    bool query = false;             // the command's reply reads as a value
    std::optional<Reading> reading; // that value, when the reply decodes
};

// The reply to the next command a program sends through an engine, for programs that send one
// command after another: complete when its carriage return arrives, when the engine's reply
// window closes at once so that the next reply starts afresh, or when the reply window has
// gone by with whatever came.
class ReplyWatch : public QObject {
    Q_OBJECT

public:
    explicit ReplyWatch(Engine &engine, QObject *parent = nullptr);

    // Call before the command goes out.
    void expect();
    void cancel();
    bool expecting() const { return expecting_; }

signals:
    void complete(const qv7::Reply &reply);

private:
    void onRxd(const QString &text);
    void finish();

    Engine &engine_;
    QTimer window_;
    Reply reply_;
    bool expecting_ = false;
    bool completing_ = false; // the carriage return came and the end is on its way
};

} // namespace qv7
