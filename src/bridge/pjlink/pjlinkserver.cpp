#include "pjlinkserver.h"

#include "bridge/log.h"
#include "layout/layout.h"

#include <QCryptographicHash>
#include <QRandomGenerator>
#include <QTcpSocket>

namespace qv7::bridge {

namespace {

using namespace std::chrono_literals;

constexpr auto kBurstTime = 10s;

// Requests a client may send ahead of their answers.
constexpr qsizetype kLongestBacklog = 8 * (pjlink::kLongestRequest + pjlink::kDigestLength);

std::string_view text(pjlink::Error error)
{
    return pjlink::errorText(error);
}

// The inventory's name for an input, or else the panel's caption on the button that selects it.
std::string inputName(const InventoryEntry &projector, Input input)
{
    const QString &named = projector.inputNames[std::size_t(input)];
    return named.isEmpty() ? std::string(findControlLayout(inputButton(input).control)->caption)
                           : named.toStdString();
}

} // namespace

PjlinkServer::PjlinkServer(LineOwner &line, const QByteArray &password, LoginThrottle &throttle,
                           QObject *parent)
    : QObject(parent)
    , line_(line)
    , password_(password)
    , throttle_(throttle)
    , admission_(server_, kCaps, line.entry().name + QStringLiteral(": PJLink"))
{
    connect(&server_, &QTcpServer::newConnection, this, &PjlinkServer::accept);
    unknownBurst_.setSingleShot(true);
    unknownBurst_.setInterval(kBurstTime);
}

void PjlinkServer::logUnknown(const QString &peer, const pjlink::Request &request)
{
    if (!unknownBurst_.isActive()) {
        // One call of arg() for all: the request's own "%2" is no place for a later one.
        const std::string said = '%' + std::string(1, request.version) + request.body;
        line_.log(Priority::Notice,
                  QStringLiteral("PJLink client %1: unknown request %2 answered ERR1 (more within "
                                 "%3 s are not logged)")
                      .arg(peer, QString::fromStdString(said),
                           QString::number(std::chrono::seconds(kBurstTime).count())));
    }
    unknownBurst_.start();
}

QString PjlinkServer::label() const
{
    const InventoryEntry &projector = line_.entry();
    return endpoint(QHostAddress(projector.pjlinkHost),
                    server_.isListening() ? server_.serverPort() : projector.pjlinkPort);
}

bool PjlinkServer::listen()
{
    const InventoryEntry &projector = line_.entry();
    if (!server_.listen(QHostAddress(projector.pjlinkHost), projector.pjlinkPort))
        return false;
    line_.log(Priority::Info,
              QStringLiteral("PJLink on %1%2")
                  .arg(label(), password_.isEmpty() ? QStringLiteral(", no password")
                                                    : QStringLiteral(", with a password")));
    return true;
}

void PjlinkServer::accept()
{
    while (QTcpSocket *socket = server_.nextPendingConnection()) {
        if (admission_.admit(socket))
            new PjlinkSession(socket, line_, password_, throttle_, *this);
    }
}

PjlinkSession::PjlinkSession(QTcpSocket *socket, LineOwner &line, const QByteArray &password,
                             LoginThrottle &throttle, PjlinkServer &server)
    : QObject(&server)
    , socket_(socket)
    , server_(server)
    , line_(line)
    , password_(password)
    , throttle_(throttle)
    , peer_(endpoint(socket->peerAddress(), socket->peerPort()))
{
    socket_->setParent(this);
    connect(socket_, &QTcpSocket::readyRead, this, &PjlinkSession::serve);
    connect(socket_, &QTcpSocket::bytesWritten, this, &PjlinkSession::serve);
    connect(socket_, &QTcpSocket::disconnected, this, &QObject::deleteLater);
    idle_.setSingleShot(true);
    idle_.setInterval(std::chrono::seconds(pjlink::kIdleSeconds));
    connect(&idle_, &QTimer::timeout, this,
            [this] { close(QStringLiteral("silent for %1 s").arg(pjlink::kIdleSeconds)); });
    idle_.start();
    if (!password_.isEmpty()) {
        random_ = QByteArray::number(QRandomGenerator::system()->generate(), 16)
                      .rightJustified(pjlink::kRandomLength, '0');
    }
    socket_->write(QByteArray::fromStdString(pjlink::greeting(random_.toStdString())));
}

void PjlinkSession::close(const QString &why)
{
    line_.log(Priority::Notice, QStringLiteral("PJLink client %1: %2; closed").arg(peer_, why));
    idle_.stop();
    closed_ = true;
    socket_->disconnectFromHost();
}

bool PjlinkSession::authenticate(QByteArray &line)
{
    const QHostAddress peer = socket_->peerAddress();
    if (throttle_.wait(peer) > 0ms) {
        refuse(0ms);
        return false;
    }
    const QByteArray expected =
        QCryptographicHash::hash(random_ + password_, QCryptographicHash::Md5).toHex();
    if (line.first(std::min(line.size(), qsizetype(pjlink::kDigestLength))).toLower() != expected) {
        const LoginThrottle::Failure failure = throttle_.failed(peer);
        if (failure.first)
            line_.log(Priority::Notice,
                      QStringLiteral("PJLink client %1: wrong or no password; digests from its "
                                     "address wait their turn from now on (%2)")
                          .arg(peer_, LoginThrottle::rule()));
        refuse(failure.wait);
        return false;
    }
    throttle_.succeeded(peer);
    authenticated_ = true;
    line.remove(0, pjlink::kDigestLength);
    return true;
}

// Answered when the address may try again; nothing more is read meanwhile. Not logged: the
// first failure of a burst is.
void PjlinkSession::refuse(Milliseconds after)
{
    idle_.stop();
    closed_ = true;
    const auto answer = [this] {
        socket_->write(pjlink::kAuthenticationError.data(),
                       qsizetype(pjlink::kAuthenticationError.size()));
        socket_->disconnectFromHost();
    };
    if (after <= 0ms) {
        answer();
        return;
    }
    auto *wait = new LineTimer(throttle_.clock(), this);
    wait->setSingleShot(true);
    connect(wait, &LineTimer::timeout, this, answer);
    wait->start(after);
}

void PjlinkSession::serve()
{
    if (closed_)
        return;
    buffer_ += socket_->readAll();
    if (buffer_.size() > kLongestBacklog) {
        close(QStringLiteral("more than %1 bytes of requests unanswered").arg(kLongestBacklog));
        return;
    }
    // The next answer waits until the last has gone: a client that sends on without reading
    // fills the backlog above and is closed, rather than having its answers kept.
    while (!busy_ && queuedBytes(*socket_) == 0) {
        const qsizetype end = buffer_.indexOf(pjlink::kTerminator);
        if (end < 0) {
            const qsizetype longest = qsizetype(pjlink::kLongestRequest) +
                                      (authenticated_ ? 0 : qsizetype(pjlink::kDigestLength));
            if (buffer_.size() > longest)
                close(QStringLiteral("a request longer than %1 bytes").arg(longest));
            return;
        }
        QByteArray line = buffer_.first(end);
        buffer_.remove(0, end + 1);
        // A line feed after the carriage return, as some clients send, is no part of a request.
        while (line.startsWith('\n'))
            line.remove(0, 1);
        if (line.isEmpty())
            continue;
        idle_.start();
        if (!password_.isEmpty() && !authenticated_ && !authenticate(line))
            return;
        const auto request = pjlink::parseRequest(line.toStdString());
        if (!request) {
            close(QStringLiteral("\"%1\" is no PJLink request")
                      .arg(QString::fromLatin1(line.first(std::min(line.size(), qsizetype(16))))
                               .toHtmlEscaped()));
            return;
        }
        handle(*request);
    }
}

void PjlinkSession::finish(const pjlink::Request &request, std::string_view value)
{
    busy_ = false;
    if (closed_)
        return;
    socket_->write(QByteArray::fromStdString(pjlink::answer(request, value)));
    serve();
}

void PjlinkSession::handle(const pjlink::Request &request)
{
    const auto found = pjlink::lookup(request);
    if (const auto *error = std::get_if<pjlink::Error>(&found)) {
        if (!pjlink::isKnownBody(request.body))
            server_.logUnknown(peer_, request);
        finish(request, text(*error));
        return;
    }
    const pjlink::Row &row = *std::get<const pjlink::Row *>(found);
    const InventoryEntry &projector = line_.entry();
    switch (row.ask) {
    case pjlink::Ask::Send:
    case pjlink::Ask::SelectInput:
        send(request, row);
        return;
    case pjlink::Ask::Power:
    case pjlink::Ask::Errors:
    case pjlink::Ask::Input:
    case pjlink::Ask::Lamp:
        ask(request, row);
        return;
    case pjlink::Ask::Mutes: {
        const LineState &state = line_.line().state();
        finish(request, line_.line().isUp() ? pjlink::mutes(state.videoMute, state.audioMute)
                                            : text(pjlink::Error::ProjectorFailure));
        return;
    }
    case pjlink::Ask::Inputs:
        finish(request, pjlink::inputList());
        return;
    case pjlink::Ask::Name:
        finish(request, projector.name.toStdString());
        return;
    case pjlink::Ask::Manufacturer:
        finish(request, projector.manufacturer.toStdString());
        return;
    case pjlink::Ask::Model:
        finish(request, projector.model.toStdString());
        return;
    case pjlink::Ask::Information:
        finish(request, projector.information.toStdString());
        return;
    case pjlink::Ask::Class:
        finish(request, pjlink::kClass);
        return;
    case pjlink::Ask::Freeze: {
        // Only the daemon sets it: unknown until it has, or the projector has been switched on.
        const LineState &state = line_.line().state();
        finish(request, !line_.line().isUp() ? text(pjlink::Error::ProjectorFailure)
                        : !state.isKnown(LineState::Field::Freeze)
                            ? text(pjlink::Error::UnavailableTime)
                            : std::string_view(state.freeze ? "1" : "0"));
        return;
    }
    case pjlink::Ask::InputName:
        finish(request, inputName(projector, *pjlink::inputOfNameQuery(request.parameter)));
        return;
    case pjlink::Ask::Serial:
        finish(request, projector.serialNumber.toStdString());
        return;
    case pjlink::Ask::Software:
        finish(request, QV7_VERSION);
        return;
    case pjlink::Ask::LampModel:
        finish(request, projector.lampModel.toStdString());
        return;
    case pjlink::Ask::FilterModel:
        finish(request, projector.filterModel.toStdString());
        return;
    case pjlink::Ask::Lacking:
        // What the standard has a projector answer for a function it does not have.
        finish(request, text(pjlink::Error::Undefined));
        return;
    }
}

void PjlinkSession::send(const pjlink::Request &request, const pjlink::Row &row)
{
    std::vector<Command> commands;
    if (row.ask == pjlink::Ask::SelectInput) {
        commands.push_back(commandFor(inputButton(*pjlink::inputOfCode(request.parameter))));
    }
    for (const OneShotCommand *button : row.buttons) {
        if (button)
            commands.push_back(commandFor(*button));
    }
    if (row.hold)
        commands.push_back(commandFor(*row.hold, 1));
    // What the projector cannot take now is refused rather than left to wait.
    switch (line_.line().verdict(commands.front())) {
    case Verdict::Failed:
        finish(request, text(pjlink::Error::ProjectorFailure));
        return;
    case Verdict::Already:
        finish(request, "OK");
        return;
    case Verdict::NotNow:
    case Verdict::Waits:
        finish(request, text(pjlink::Error::UnavailableTime));
        return;
    case Verdict::Now:
        break;
    }
    busy_ = true;
    auto left = std::make_shared<std::size_t>(commands.size());
    // The first thing that went wrong, if anything did.
    auto error = std::make_shared<std::optional<pjlink::Error>>();
    line_.line().submit(commands,
                        [self = QPointer(this), request, left, error](const Result &result,
                                                                      const QString &notSent) {
                            if (!notSent.isEmpty())
                                *error = self && self->line_.line().isUp()
                                             ? pjlink::Error::UnavailableTime
                                             : pjlink::Error::ProjectorFailure;
                            else if (result.failure && !*error)
                                *error = pjlink::Error::ProjectorFailure;
                            if (--*left == 0 && self)
                                self->finish(request, *error ? text(**error) : "OK");
                        },
                        0s, {this, QStringLiteral("PJLink client ") + peer_});
}

void PjlinkSession::ask(const pjlink::Request &request, const pjlink::Row &row)
{
    if (!line_.line().isUp()) {
        finish(request, text(pjlink::Error::ProjectorFailure));
        return;
    }
    busy_ = true;
    line_.line().submit(
        {commandFor(*row.buttons.front())},
        [self = QPointer(this), request, ask = row.ask](const Result &result, const QString &) {
            if (!self)
                return;
            const auto value =
                result.reading
                    ? pjlink::queryAnswer(ask, *result.reading, self->line_.line().state().power)
                    : std::nullopt;
            self->finish(request, value ? *value : text(pjlink::Error::ProjectorFailure));
        },
        0s, {this, QStringLiteral("PJLink client ") + peer_});
}

} // namespace qv7::bridge
