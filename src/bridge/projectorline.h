#pragma once

#include "engine/engine.h"
#include "engine/inventory.h"
#include "engine/replywatch.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>
#include <optional>
#include <string>

namespace qv7::bridge {

// What one command came to on the line.
struct Exchange {
    std::string code;
    Reply reply;
    QString failure; // the line failed under this command
};

// The port of one projector, owned for as long as the bridge runs: opened through an engine of
// its own, one command at a time, each ending when its reply's carriage return arrives or its
// reply window closes. A port that fails or cannot be opened is tried again after 5 s, doubling
// up to a minute, until it opens.
class ProjectorLine : public QObject {
    Q_OBJECT

public:
    ProjectorLine(InventoryEntry projector, int connectTimeoutMs, QObject *parent = nullptr);

    void open();
    bool isOpen() const { return open_; }
    bool busy() const { return watch_.expecting(); }
    // Only while open and not busy.
    void send(const std::string &code);

signals:
    void opened();
    // The port failed or would not open; nextTry is when it is tried again.
    void lost(const QString &description, std::chrono::seconds nextTry);
    void done(const qv7::bridge::Exchange &exchange);

private:
    void complete(const Reply &reply);
    void fail(const Failure &failure);

    InventoryEntry projector_;
    Engine engine_;
    ReplyWatch watch_;
    QTimer reopen_;
    std::chrono::seconds backOff_;
    bool open_ = false;
    std::string code_; // of the command whose reply is awaited
};

} // namespace qv7::bridge
