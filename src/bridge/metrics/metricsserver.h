#pragma once

#include "bridge/admission.h"
#include "bridge/lineowner.h"
#include "bridge/servedhosts.h"

#include <QHostAddress>
#include <QObject>
#include <QTcpServer>

#include <vector>

namespace qv7::bridge {

// The readings of the lines this daemon owns, for Prometheus: HTTP GET /metrics in the text
// exposition format, one request a connection. Only the owner of a line can report on it. The
// Host must be one this daemon serves, as for the web pages: a page elsewhere whose name is
// rebound to this machine cannot read the readings.
class MetricsServer : public QObject {
    Q_OBJECT

public:
    MetricsServer(std::vector<const LineOwner *> lines, QObject *parent = nullptr);

    // False, with the reason in errorString(), when the port cannot be had.
    bool listen(const QHostAddress &address, quint16 port);
    QString errorString() const { return server_.errorString(); }

    // Scrapes at once: Prometheus asks one at a time, a pair of them two.
    static constexpr ConnectionCaps kCaps{.total = 16, .perAddress = 4};

private:
    void accept();
    QByteArray respond(const QByteArray &request) const;

    std::vector<const LineOwner *> lines_;
    QTcpServer server_;
    Admission admission_;
    ServedHosts hosts_;
};

} // namespace qv7::bridge
