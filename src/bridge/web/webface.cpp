#include "webface.h"

#include "bridge/log.h"
#include "protocol/commandwords.h"
#include "webpage.h"

#include <QCryptographicHash>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QWebSocket>

#include <algorithm>
#include <chrono>

namespace qv7::bridge {

namespace {

using namespace std::chrono_literals;

constexpr char kCookie[] = "qv7session";
constexpr int kTokenBytes = 16;    // 128 bits
constexpr auto kSessionTime = 24h; // since the session was last used
constexpr int kMostSessions = 256;
// How often ended sessions are looked for, to close their pages.
constexpr auto kSessionSweep = 1min;
// Pages open at once on one projector's window, and on the list.
constexpr int kMostPages = 32;
constexpr int kMostListPages = 64;
const QString kProjectorPath = QStringLiteral("/projector/");
const QString kSocketPath = QStringLiteral("/socket");

// The pages' scripts and styles, served as they are.
struct Asset {
    const char *path;
    const char *resource;
    const char *type;
};
constexpr Asset kAssets[] = {
    {"/static/web.css", ":/web/web.css", "text/css; charset=utf-8"},
    {"/static/socket.js", ":/web/socket.js", "text/javascript; charset=utf-8"},
    {"/static/panel.js", ":/web/panel.js", "text/javascript; charset=utf-8"},
    {"/static/index.js", ":/web/index.js", "text/javascript; charset=utf-8"},
};

QByteArray bytes(const std::string &text)
{
    return QByteArray::fromStdString(text);
}

QString fromView(std::string_view text)
{
    return QString::fromUtf8(text.data(), qsizetype(text.size()));
}

WebResponse page(int status, const std::string &html)
{
    WebResponse response;
    response.status = status;
    response.body = bytes(html);
    return response;
}

WebResponse text(int status, const QString &message)
{
    WebResponse response;
    response.status = status;
    response.type = "text/plain; charset=utf-8";
    response.body = message.toUtf8() + '\n';
    return response;
}

WebResponse redirect(const QByteArray &to)
{
    WebResponse response;
    response.status = 303;
    response.headers.append({"Location", to});
    return response;
}

WebResponse notAllowed(const QByteArray &allow)
{
    WebResponse response = text(405, QStringLiteral("this path takes %1").arg(allow));
    response.headers.append({"Allow", allow});
    return response;
}

bool equalIgnoringCase(std::string_view a, const QString &b)
{
    return fromView(a).compare(b, Qt::CaseInsensitive) == 0;
}

QJsonValue optional(const auto &value, auto toJson)
{
    return value ? toJson(*value) : QJsonValue(QJsonValue::Null);
}

} // namespace

WebFace::WebFace(std::vector<LineOwner *> lines, const WebSettings &settings, Venue *venue,
                 QObject *parent, Clock &clock)
    : QObject(parent)
    , lines_(std::move(lines))
    , settings_(settings)
    , venue_(venue)
    , clock_(clock)
    , server_([this](const http::Request &request,
                     const QHostAddress &peer) { return handle(request, peer); },
              nullptr, clock)
    , sessionSweep_(clock, this)
    , throttle_(clock)
{
    connect(&server_, &WebServer::webSocket, this, &WebFace::onWebSocket);
    sessionSweep_.setInterval(kSessionSweep);
    connect(&sessionSweep_, &LineTimer::timeout, this, [this] {
        for (const QByteArray &token : sessions_.keys()) {
            if (sessions_.value(token) <= clock_.now())
                endSession(token, QStringLiteral("the session has ended"));
        }
    });
    sessionSweep_.start();
    // Read and drawn once: they do not change while the daemon runs.
    for (const Asset &asset : kAssets) {
        QFile file(QString::fromLatin1(asset.resource));
        if (!file.open(QIODevice::ReadOnly))
            qFatal("the web pages' %s is missing from the program", asset.resource);
        files_.insert(QString::fromLatin1(asset.path), {asset.type, file.readAll()});
    }
    files_.insert(QStringLiteral("/static/layout.css"),
                  {"text/css; charset=utf-8", bytes(webpage::layoutStylesheet())});
    files_.insert(QStringLiteral("/static/logo.svg"), {"image/svg+xml", bytes(webpage::logoSvg())});
}

WebFace::~WebFace() = default;

bool WebFace::listen()
{
    return server_.listen(QHostAddress(settings_.address.host), settings_.address.port,
                          settings_.tls);
}

LineOwner *WebFace::line(const QString &name) const
{
    const auto it =
        std::ranges::find_if(lines_, [&](const LineOwner *l) { return l->entry().name == name; });
    return it == lines_.end() ? nullptr : *it;
}

int WebFace::socketsOn(const QString &projector) const
{
    return int(std::ranges::count_if(sockets_, [&](const QPointer<PageSocket> &socket) {
        return socket && socket->projector() == projector;
    }));
}

bool WebFace::isRemote(const QString &name) const
{
    // Another host's: the broker has said who owns it.
    return venue_ && !line(name) && !venue_->projectors().value(name).host.isEmpty();
}

bool WebFace::fromOwnPage(const http::Request &request) const
{
    const auto origin = request.header("origin");
    const auto host = request.header("host");
    return origin && host &&
           equalIgnoringCase(*origin, (server_.secure() ? QStringLiteral("https://")
                                                        : QStringLiteral("http://")) +
                                          fromView(*host));
}

QByteArray WebFace::session(const http::Request &request) const
{
    const auto token = http::cookie(request.header("cookie").value_or(""), kCookie);
    if (!token)
        return {};
    const QByteArray key(token->data(), qsizetype(token->size()));
    const auto it = sessions_.constFind(key);
    return it != sessions_.cend() && *it > clock_.now() ? key : QByteArray();
}

QByteArray WebFace::sessionCookie(const QByteArray &token, bool expired) const
{
    return QByteArray(kCookie) + '=' + token + "; Path=/; HttpOnly; SameSite=Strict" +
           (server_.secure() ? "; Secure" : "") + (expired ? "; Max-Age=0" : "");
}

WebResponse WebFace::handle(const http::Request &request, const QHostAddress &peer)
{
    const bool get = request.method == "GET" || request.method == "HEAD";
    const QString path = QString::fromStdString(request.path);
    if (!hosts_.serves(request.header("host").value_or(""), server_.port(), server_.secure()))
        return text(421, QStringLiteral("this daemon does not serve the host \"%1\"")
                             .arg(fromView(request.header("host").value_or(""))));
    if (const auto file = files_.constFind(path); file != files_.cend()) {
        if (!get)
            return notAllowed("GET");
        WebResponse response;
        response.type = file->type;
        response.body = file->body;
        return response;
    }
    // Browsers ask for an icon; the pages have none but the window's logo.
    if (path == u"/favicon.ico")
        return text(404, QStringLiteral("no icon"));
    if (path == u"/login") {
        if (request.method == "POST")
            return logIn(request, peer);
        if (!get)
            return notAllowed("GET, POST");
        return settings_.password.isEmpty() ? redirect("/") : page(200, webpage::login({}));
    }
    if (path == u"/logout") {
        if (request.method != "POST")
            return notAllowed("POST");
        return logOut(request);
    }

    // "/projector/NAME" and its socket, "/projector/NAME/socket".
    QString name;
    bool webSocket = path == u"/socket";
    if (path.startsWith(kProjectorPath)) {
        name = path.sliced(kProjectorPath.size());
        webSocket = name.endsWith(kSocketPath) && name.size() > kSocketPath.size();
        if (webSocket)
            name.chop(kSocketPath.size());
    }
    const bool loggedIn = !session(request).isEmpty();
    if (!settings_.password.isEmpty() && !loggedIn)
        return webSocket ? text(403, QStringLiteral("log in first")) : redirect("/login");
    if (path == u"/socket")
        return openSocket(request, {});
    if (path == u"/") {
        if (!get)
            return notAllowed("GET");
        std::vector<webpage::ListedProjector> listed;
        for (const LineOwner *l : lines_)
            listed.push_back({l->entry().name.toStdString(), l->entry().group.toStdString()});
        return page(200, webpage::index(listed, hostName().toStdString(), loggedIn));
    }
    if (!path.startsWith(kProjectorPath))
        return page(
            404, webpage::problem("Not found", "This daemon has no page at " + request.path + "."));
    if (!line(name) && !isRemote(name))
        return webSocket ? text(404, QStringLiteral("no projector is named \"%1\"").arg(name))
                         : page(404, webpage::problem("No such projector",
                                                      "No projector is named \"" +
                                                          name.toStdString() + "\"."));
    if (webSocket)
        return openSocket(request, name);
    if (!get)
        return notAllowed("GET");
    return page(200, webpage::panel(name.toStdString(), loggedIn));
}

WebResponse WebFace::logIn(const http::Request &request, const QHostAddress &peer)
{
    if (!fromOwnPage(request))
        return text(403, QStringLiteral("a login comes from this daemon's own login page"));
    if (settings_.password.isEmpty())
        return redirect("/");
    if (const Milliseconds wait = throttle_.wait(peer); wait > 0ms) {
        const auto seconds = std::chrono::ceil<std::chrono::seconds>(wait).count();
        WebResponse response = page(429, webpage::login("Too many failed logins from this address: "
                                                        "try again in " +
                                                        std::to_string(seconds) + " s."));
        response.headers.append({"Retry-After", QByteArray::number(seconds)});
        return response;
    }
    const QByteArray given =
        bytes(http::formField(request.body, "password").value_or(std::string()));
    // Compared as digests, so that the time taken says nothing of how much matched.
    const bool right = QCryptographicHash::hash(given, QCryptographicHash::Sha256) ==
                       QCryptographicHash::hash(settings_.password, QCryptographicHash::Sha256);
    if (!right) {
        const LoginThrottle::Failure failure = throttle_.failed(peer);
        if (failure.first)
            logEvent(Priority::Notice,
                     QStringLiteral("qv7-bridge: web pages: a wrong password from %1; its logins "
                                    "wait their turn from now on (%2)")
                         .arg(peer.toString(), LoginThrottle::rule()));
        WebResponse response = page(403, webpage::login("That password is wrong."));
        // Answered when the next attempt may be taken, so that a person never sees a 429.
        response.delay = failure.wait;
        return response;
    }
    throttle_.succeeded(peer);
    QByteArray token(kTokenBytes, Qt::Uninitialized);
    QRandomGenerator::system()->generate(token.begin(), token.end());
    token = token.toHex();
    if (sessions_.size() >= kMostSessions) {
        // The one that would end soonest makes room.
        endSession(std::min_element(sessions_.cbegin(), sessions_.cend()).key(),
                   QStringLiteral("too many sessions: this one made room"));
    }
    sessions_.insert(token, clock_.now() + kSessionTime);
    WebResponse response = redirect("/");
    response.headers.append({"Set-Cookie", sessionCookie(token, false)});
    return response;
}

WebResponse WebFace::logOut(const http::Request &request)
{
    if (!fromOwnPage(request))
        return text(403, QStringLiteral("a logout comes from this daemon's own pages"));
    const QByteArray token = session(request);
    if (!token.isEmpty())
        endSession(token, QStringLiteral("logged out"));
    WebResponse response = redirect(settings_.password.isEmpty() ? "/" : "/login");
    response.headers.append({"Set-Cookie", sessionCookie({}, true)});
    return response;
}

WebResponse WebFace::openSocket(const http::Request &request, const QString &projector)
{
    if (request.method != "GET" || !request.upgradesToWebSocket())
        return text(400, QStringLiteral("this path is a WebSocket"));
    if (!fromOwnPage(request))
        return text(403, QStringLiteral("a WebSocket comes from this daemon's own pages"));
    std::erase_if(sockets_, [](const QPointer<PageSocket> &socket) { return !socket; });
    if (socketsOn(projector) >= (projector.isEmpty() ? kMostListPages : kMostPages))
        return text(503, QStringLiteral("too many pages are open on this projector"));
    if (const QByteArray token = session(request); !token.isEmpty())
        sessions_[token] = clock_.now() + kSessionTime;
    WebResponse response;
    response.upgrade = true;
    return response;
}

void WebFace::onWebSocket(QWebSocket *socket)
{
    // The handshake was checked before it was answered; the path says which page it is.
    const QString path = socket->requestUrl().path();
    const QString name = path == u"/socket"
                             ? QString()
                             : path.sliced(kProjectorPath.size()).chopped(kSocketPath.size());
    PanelLine *panel = nullptr;
    if (LineOwner *owner = line(name))
        panel = new OwnPanelLine(*owner);
    else if (isRemote(name))
        panel = venue_->openRemote(name);
    else if (!name.isEmpty()) {
        socket->deleteLater();
        return;
    }
    http::Request handshake;
    handshake.headers.emplace_back("cookie", socket->request().rawHeader("Cookie").toStdString());
    const QByteArray token = session(handshake);
    auto *page = new PageSocket(socket, panel, lines_, venue_, token, clock_, this);
    sockets_.emplace_back(page);
    if (!token.isEmpty())
        connect(page, &PageSocket::used, this, [this, token] {
            if (const auto it = sessions_.find(token); it != sessions_.end())
                *it = clock_.now() + kSessionTime;
        });
}

void WebFace::endSession(QByteArray token, const QString &why)
{
    sessions_.remove(token);
    for (const QPointer<PageSocket> &socket : sockets_) {
        if (socket && socket->session() == token)
            socket->endSession(why);
    }
}

PageSocket::PageSocket(QWebSocket *socket, PanelLine *panel, const std::vector<LineOwner *> &all,
                       Venue *venue, const QByteArray &session, Clock &clock, QObject *parent)
    : QObject(parent)
    , socket_(socket)
    , panel_(panel)
    , venue_(venue)
    , session_(session)
    , clock_(clock)
    , pinger_(clock, this)
    , lastHeard_(clock.now())
{
    socket_->setParent(this);
    connect(socket_, &QWebSocket::disconnected, this, &QObject::deleteLater);
    connect(socket_, &QWebSocket::pong, this, &PageSocket::heard);
    pinger_.setInterval(kPingInterval);
    connect(&pinger_, &LineTimer::timeout, this, &PageSocket::ping);
    pinger_.start();
    connect(socket_, &QWebSocket::textMessageReceived, this, &PageSocket::onMessage);
    connect(socket_, &QWebSocket::binaryMessageReceived, this,
            [this] { problem(QStringLiteral("messages are JSON text")); });
    silence_.setSingleShot(true);
    silence_.setInterval(kSilenceMs);
    connect(&silence_, &QTimer::timeout, this, &PageSocket::letGo);
    traffic_.setSingleShot(true);
    connect(&traffic_, &QTimer::timeout, this, &PageSocket::sendTraffic);

    if (panel_) {
        // One of this daemon's lines is the page's own; another host's is the venue's.
        if (!panel_->parent())
            panel_->setParent(this);
        connect(panel_, &PanelLine::stateChanged, this, &PageSocket::sendPanelState);
        connect(panel_, &PanelLine::trafficChanged, &traffic_, [this] {
            if (!hidden_)
                traffic_.start(0);
        });
        sendPanelState();
        sendTraffic();
        return;
    }
    lines_ = all;
    for (LineOwner *owner : all) {
        const auto send = [this, owner] { sendState(*owner); };
        connect(&owner->line(), &Line::stateChanged, this, send);
        connect(owner, &LineOwner::claimed, this, send);
        connect(owner, &LineOwner::downReasonChanged, this, send);
        own_.insert(owner->entry().name);
        sendState(*owner);
    }
    if (venue_) {
        connect(venue_, &Venue::changed, this, &PageSocket::sendVenueState);
        connect(venue_, &Venue::hostChanged, this, [this](const QString &host) {
            for (auto it = venue_->projectors().cbegin(); it != venue_->projectors().cend(); ++it) {
                if (it->host == host)
                    sendVenueState(it.key());
            }
        });
        for (const QString &name : venue_->projectors().keys())
            sendVenueState(name);
        venue_->watch();
    }
}

PageSocket::~PageSocket()
{
    letGo();
    if (!venue_)
        return;
    if (!panel_)
        venue_->unwatch();
    else if (panel_->parent() == venue_)
        venue_->closeRemote(panel_->name());
}

QString PageSocket::projector() const
{
    return panel_ ? panel_->name() : QString();
}

void PageSocket::endSession(const QString &why)
{
    socket_->close(QWebSocketProtocol::CloseCodePolicyViolated, why);
}

void PageSocket::heard()
{
    lastHeard_ = clock_.now();
}

void PageSocket::ping()
{
    if (clock_.now() - lastHeard_ < kLongestQuiet) {
        socket_->ping();
        return;
    }
    // Gone without a word: no closing handshake is waited for.
    pinger_.stop();
    socket_->abort();
    deleteLater();
}

void PageSocket::sendJson(const QJsonObject &object)
{
    // A page that reads nothing (a frozen tab, a hostile client) is not buffered for.
    if (socket_->bytesToWrite() > kMostQueued) {
        logUnread(QStringLiteral("web pages"), socket_->peerAddress());
        socket_->abort();
        return;
    }
    socket_->sendTextMessage(
        QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)));
}

void PageSocket::problem(const QString &text)
{
    sendJson(
        {{QStringLiteral("type"), QStringLiteral("error")}, {QStringLiteral("message"), text}});
}

void PageSocket::sendState(const LineOwner &line)
{
    const LineState &state = line.line().state();
    // A line that another program holds is not this daemon's to report on.
    const bool ours = line.isClaimed();
    const auto words = [](auto value) { return fromView(word(value)); };
    sendJson({
        {QStringLiteral("type"), QStringLiteral("projector")},
        {QStringLiteral("name"), line.entry().name},
        {QStringLiteral("group"), line.entry().group},
        {QStringLiteral("host"), venue_ ? venue_->hostName() : QString()},
        {QStringLiteral("hostOnline"), true},
        {QStringLiteral("link"), ours ? words(state.link) : QStringLiteral("down")},
        // Another program holding the line is not a fault of the projector's: say who.
        {QStringLiteral("reason"),
         line.line().isUp() ? QJsonValue(QJsonValue::Null) : QJsonValue(line.line().downReason())},
        {QStringLiteral("power"),
         ours ? optional(state.power, words) : QJsonValue(QJsonValue::Null)},
        {QStringLiteral("input"),
         ours ? optional(state.input, words) : QJsonValue(QJsonValue::Null)},
        {QStringLiteral("lampHours"),
         ours ? optional(state.lampHours, [](int hours) { return QJsonValue(hours); })
              : QJsonValue(QJsonValue::Null)},
    });
}

void PageSocket::sendVenueState(const QString &name)
{
    const auto it = venue_->projectors().constFind(name);
    if (own_.contains(name) || it == venue_->projectors().cend() || it->host.isEmpty())
        return;
    const auto word = [](const QString &text) {
        return text.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(text);
    };
    const bool hostOnline = venue_->isHostOnline(it->host);
    // What a daemon that has gone last published is no longer so: only its absence is.
    const bool known = hostOnline && it->availability == u"online";
    sendJson({
        {QStringLiteral("type"), QStringLiteral("projector")},
        {QStringLiteral("name"), name},
        {QStringLiteral("group"), it->group},
        {QStringLiteral("host"), it->host},
        {QStringLiteral("hostOnline"), hostOnline},
        {QStringLiteral("link"),
         hostOnline ? word(it->availability == u"offline" ? it->availability : it->link)
                    : QJsonValue(QStringLiteral("host offline"))},
        {QStringLiteral("power"), known ? word(it->power) : QJsonValue(QJsonValue::Null)},
        {QStringLiteral("input"), known ? word(it->input) : QJsonValue(QJsonValue::Null)},
        {QStringLiteral("lampHours"),
         known ? optional(it->lampHours, [](int hours) { return QJsonValue(hours); })
               : QJsonValue(QJsonValue::Null)},
    });
}

void PageSocket::sendPanelState()
{
    const PanelLine::Snapshot state = panel_->snapshot();
    const auto known = [](const auto &value) {
        return value ? QJsonValue(*value) : QJsonValue(QJsonValue::Null);
    };
    sendJson({
        {QStringLiteral("type"), QStringLiteral("projector")},
        {QStringLiteral("name"), panel_->name()},
        {QStringLiteral("link"), state.link},
        {QStringLiteral("reason"),
         state.reason.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(state.reason)},
        {QStringLiteral("power"), known(state.power)},
        {QStringLiteral("input"), known(state.input)},
        {QStringLiteral("lampHours"), known(state.lampHours)},
    });
}

void PageSocket::sendTraffic()
{
    sendJson({{QStringLiteral("type"), QStringLiteral("traffic")},
              {QStringLiteral("txd"), panel_->txd()},
              {QStringLiteral("rxd"), panel_->rxd()},
              {QStringLiteral("status"), panel_->status()}});
}

void PageSocket::onMessage(const QString &text)
{
    // Any word from the page says it is still there.
    heard();
    emit used();
    if (silence_.isActive())
        silence_.start();
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(text.toUtf8(), &error);
    if (!document.isObject())
        return problem(QStringLiteral("a message is a JSON object, such as {\"click\": "
                                      "\"Command17\"}"));
    const QJsonObject message = document.object();
    if (!panel_)
        return groupAction(message);
    if (message.size() != 1)
        return problem(
            QStringLiteral("a message has one of click, press, release, alive or visible"));
    const QString key = message.constBegin().key();
    const QString control = message.constBegin().value().toString();
    if (key == u"alive")
        return panel_->alive(hold_);
    if (key == u"visible")
        return setVisible(message.constBegin().value());
    if (key == u"release")
        return letGo();
    if (key == u"click")
        return click(control);
    if (key == u"press")
        return press(control);
    problem(QStringLiteral("\"%1\" is none of click, press, release, alive or visible").arg(key));
}

void PageSocket::groupAction(const QJsonObject &message)
{
    const QString group = message.value(QStringLiteral("group")).toString();
    const QString power = message.value(QStringLiteral("power")).toString();
    if (message.size() != 2 || group.isEmpty() || (power != u"on" && power != u"off"))
        return problem(QStringLiteral("the list takes a group action, such as {\"group\": "
                                      "\"Hall\", \"power\": \"on\"}"));
    if (groupWaiting_ > 0)
        return problem(QStringLiteral("not sent: the last group action is still under way"));
    const Asker asker{this,
                      QStringLiteral("group action %1 %2 from %3").arg(group, power, origin())};
    // Each projector of the group through its owner, each outcome told as it comes.
    const auto act = [&](PanelLine &line, const std::function<void()> &finished) {
        ++groupWaiting_;
        line.power(power == u"on", asker,
                   [page = QPointer(this), name = line.name(), finished](const QString &why) {
                       finished();
                       if (!page)
                           return;
                       --page->groupWaiting_;
                       page->sendJson({{QStringLiteral("type"), QStringLiteral("outcome")},
                                       {QStringLiteral("name"), name},
                                       {QStringLiteral("outcome"),
                                        why.isEmpty() ? QStringLiteral("sent") : why}});
                   });
    };
    for (LineOwner *owner : lines_) {
        if (owner->entry().group == group) {
            auto *line = new OwnPanelLine(*owner, this);
            act(*line, [line] { line->deleteLater(); });
        }
    }
    if (!venue_)
        return;
    for (auto it = venue_->projectors().cbegin(); it != venue_->projectors().cend(); ++it) {
        if (it->group == group && !it->host.isEmpty() && !own_.contains(it.key()))
            // Let go of once its answer has been handled, not from within it.
            act(*venue_->openRemote(it.key()), [venue = QPointer(venue_), name = it.key()] {
                QTimer::singleShot(0, venue, [venue, name] { venue->closeRemote(name); });
            });
    }
}

void PageSocket::setVisible(const QJsonValue &visible)
{
    if (!visible.isBool())
        return problem(QStringLiteral("visible is true or false"));
    // A page in the background is sent no traffic, and the texts as they are when it is back.
    hidden_ = !visible.toBool();
    traffic_.stop();
    if (!hidden_)
        sendTraffic();
}

PanelLine::Done PageSocket::completion(const QString &control)
{
    ++waiting_;
    return [page = QPointer(this), control](const QString &notSent) {
        if (!page)
            return;
        --page->waiting_;
        if (!notSent.isEmpty())
            page->sendJson(
                {{QStringLiteral("type"), QStringLiteral("notSent")},
                 {QStringLiteral("control"), control},
                 {QStringLiteral("message"), QStringLiteral("not sent: %1").arg(notSent)}});
    };
}

void PageSocket::click(const QString &control)
{
    const OneShotCommand *button = findOneShot(control.toStdString());
    if (!button)
        return problem(QStringLiteral("\"%1\" is no button that sends once").arg(control));
    if (waiting_ >= kMostWaiting)
        return problem(QStringLiteral("not sent: %1 commands from this page are waiting already")
                           .arg(waiting_));
    panel_->click(*button, {this, origin()}, completion(control));
}

void PageSocket::press(const QString &control)
{
    const HoldCommand *button = findHold(control.toStdString());
    if (!button)
        return problem(QStringLiteral("\"%1\" is no button that is held").arg(control));
    letGo();
    if (waiting_ >= kMostWaiting)
        return problem(QStringLiteral("not sent: %1 commands from this page are waiting already")
                           .arg(waiting_));
    hold_ = panel_->press(*button, {this, origin()}, completion(control));
    silence_.start();
}

QString PageSocket::origin() const
{
    return QStringLiteral("web page ") + endpoint(socket_->peerAddress(), socket_->peerPort());
}

void PageSocket::letGo()
{
    silence_.stop();
    if (panel_)
        panel_->letGo(std::exchange(hold_, 0));
}

} // namespace qv7::bridge
