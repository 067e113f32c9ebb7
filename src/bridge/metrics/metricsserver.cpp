#include "metricsserver.h"

#include "protocol/http.h"

#include <QTcpSocket>
#include <QTimer>

namespace qv7::bridge {

namespace {

// A scraper's request is a few hundred bytes; more is no scraper.
constexpr qsizetype kLongestRequest = 8192;
constexpr int kRequestSeconds = 10;

QByteArray response(const char *status, const QByteArray &type, const QByteArray &body,
                    bool withBody)
{
    return QByteArrayLiteral("HTTP/1.1 ") + status + "\r\nContent-Type: " + type +
           "\r\nContent-Length: " + QByteArray::number(body.size()) +
           "\r\nConnection: close\r\n\r\n" + (withBody ? body : QByteArray());
}

} // namespace

namespace {

ProjectorSample sample(const LineOwner &line)
{
    const LineState &state = line.line().state();
    ProjectorSample sample;
    sample.projector = line.entry().name.toStdString();
    sample.up = state.link == Link::Up && state.power;
    sample.power = state.power;
    sample.lampHours = state.lampHours;
    sample.link = word(state.link);
    sample.lastAnswer = state.lastAnswer;
    return sample;
}

} // namespace

MetricsServer::MetricsServer(std::vector<const LineOwner *> lines, QObject *parent)
    : QObject(parent)
    , lines_(std::move(lines))
    , admission_(server_, kCaps, QStringLiteral("metrics"))
{
    connect(&server_, &QTcpServer::newConnection, this, &MetricsServer::accept);
}

bool MetricsServer::listen(const QHostAddress &address, quint16 port)
{
    return server_.listen(address, port);
}

void MetricsServer::accept()
{
    while (QTcpSocket *socket = server_.nextPendingConnection()) {
        if (!admission_.admit(socket))
            continue;
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        auto *deadline = new QTimer(socket);
        deadline->setSingleShot(true);
        connect(deadline, &QTimer::timeout, socket, &QTcpSocket::abort);
        deadline->start(std::chrono::seconds(kRequestSeconds));
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] {
            // The request line and headers end with an empty line.
            const QByteArray request = socket->peek(kLongestRequest + 1);
            const bool tooLong = request.size() > kLongestRequest;
            if (!tooLong && !request.contains("\r\n\r\n") && !request.contains("\n\n"))
                return;
            disconnect(socket, &QTcpSocket::readyRead, this, nullptr);
            socket->write(tooLong ? response("431 Request Header Fields Too Large", "text/plain",
                                             "the request is too long\n", true)
                                  : respond(request));
            socket->disconnectFromHost();
        });
    }
}

QByteArray MetricsServer::respond(const QByteArray &request) const
{
    const QList<QByteArray> words = request.first(request.indexOf('\n')).trimmed().split(' ');
    const QByteArray method = words.value(0);
    const QByteArray path = words.value(1).split('?').first();
    const http::Parsed parsed = http::parseRequest(request.toStdString());
    const std::string_view host =
        parsed.outcome == http::Outcome::Complete ? parsed.request.header("host").value_or("") : "";
    if (!hosts_.serves(host, server_.serverPort(), false))
        return response("421 Misdirected Request", "text/plain",
                        "this daemon does not serve the host \"" +
                            QByteArray(host.data(), qsizetype(host.size())) + "\"\n",
                        true);
    if (method != "GET" && method != "HEAD")
        return response("405 Method Not Allowed", "text/plain", "GET /metrics\n", true);
    if (path != "/metrics")
        return response("404 Not Found", "text/plain", "the metrics are at /metrics\n",
                        method == "GET");
    std::vector<ProjectorSample> samples;
    for (const LineOwner *line : lines_) {
        // A projector whose line another program owns is not this daemon's to report on.
        if (line->isClaimed())
            samples.push_back(sample(*line));
    }
    return response("200 OK", "text/plain; version=0.0.4; charset=utf-8",
                    QByteArray::fromStdString(metricsText(samples)), method == "GET");
}

} // namespace qv7::bridge
