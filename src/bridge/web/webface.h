#pragma once

#include "bridge/lineowner.h"
#include "bridge/loginthrottle.h"
#include "bridge/panelline.h"
#include "bridge/remotepanelline.h"
#include "bridge/servedhosts.h"
#include "bridge/venue.h"
#include "inventory/inventory.h"
#include "webserver.h"

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QTimer>

#include <optional>
#include <vector>

class QWebSocket;

namespace qv7::bridge {

struct WebSettings {
    ListenAddress address;
    QByteArray password; // empty: no login (loopback only)
    std::optional<QSslConfiguration> tls;
};

class PageSocket;

// The projectors as web pages: a list of them at "/", and each one's window at
// "/projector/NAME", drawn from the desktop window's layout table and kept live over a
// WebSocket. Buttons go through the line's one queue like the other faces' commands; a held
// button repeats until its page lets it go, or until the page has been silent for a second.
//
// With a password, every page but the login needs a session (a random cookie, HttpOnly and
// SameSite=Strict); after a failed login, every login from that address waits its turn (a
// wrong password is answered late, and what comes before then is refused). Whatever changes state
// (a login, a logout, a WebSocket) must come from a page of this daemon's own (its Origin) and name
// a host it serves (against DNS rebinding).
class WebFace : public QObject {
    Q_OBJECT

public:
    // Sessions end, and failed logins are answered, on the clock's time. venue: the projectors
    // that other daemons on the broker own, for the list; none without a broker.
    WebFace(std::vector<LineOwner *> lines, const WebSettings &settings, Venue *venue = nullptr,
            QObject *parent = nullptr, Clock &clock = Clock::steady());
    ~WebFace() override;

    // False, with the reason in errorString(), when the port cannot be had.
    bool listen();
    QString errorString() const { return server_.errorString(); }
    quint16 port() const { return server_.port(); }

private:
    struct File {
        QByteArray type;
        QByteArray body;
    };

    WebResponse handle(const http::Request &request, const QHostAddress &peer);
    WebResponse logIn(const http::Request &request, const QHostAddress &peer);
    WebResponse logOut(const http::Request &request);
    // Forgets a session and closes its pages' sockets. The token is a copy: a caller's may be
    // the session table's own key, which forgetting frees.
    void endSession(QByteArray token, const QString &why);
    // projector: the page's, empty for the list.
    WebResponse openSocket(const http::Request &request, const QString &projector);
    void onWebSocket(QWebSocket *socket);
    bool fromOwnPage(const http::Request &request) const;
    QByteArray session(const http::Request &request) const;
    QByteArray sessionCookie(const QByteArray &token, bool expired) const;
    LineOwner *line(const QString &name) const;
    QString hostName() const { return venue_ ? venue_->hostName() : QString(); }
    int socketsOn(const QString &projector) const;
    bool isRemote(const QString &name) const;

    std::vector<LineOwner *> lines_;
    WebSettings settings_;
    Venue *venue_;
    Clock &clock_;
    WebServer server_;
    QHash<QString, File> files_; // by path
    ServedHosts hosts_;
    QHash<QByteArray, Milliseconds> sessions_; // when each ends, on the clock
    LineTimer sessionSweep_;
    LoginThrottle throttle_;
    std::vector<QPointer<PageSocket>> sockets_;
};

// One page's WebSocket: its projector's state and traffic out, its buttons in. A page of the
// list (no line) hears of every projector: this daemon's, and the venue's others when there
// is a venue.
class PageSocket : public QObject {
    Q_OBJECT

public:
    // panel: the projector of a panel page (one of this daemon's, which the page takes, or
    // another host's, which it lets go of at its end), or none for the list.
    PageSocket(QWebSocket *socket, PanelLine *panel, const std::vector<LineOwner *> &all,
               Venue *venue, const QByteArray &session, Clock &clock, QObject *parent);
    ~PageSocket() override;

    // The projector of a panel page; empty for the list.
    QString projector() const;
    const QByteArray &session() const { return session_; }
    // Closes the socket with a policy violation: the page goes to the login.
    void endSession(const QString &why);

    // Commands one page may have waiting at once.
    static constexpr int kMostWaiting = 8;
    // A held button is let go when its page has said nothing for this long.
    static constexpr int kSilenceMs = 1000;
    // The page is pinged this often, and dropped when it has answered nothing for the longest
    // quiet: a phone that left the network frees its place.
    static constexpr std::chrono::seconds kPingInterval{20};
    static constexpr std::chrono::seconds kLongestQuiet{60};

signals:
    // The page sent a message: its session is in use.
    void used();

private:
    void onMessage(const QString &text);
    void click(const QString &control);
    void press(const QString &control);
    void letGo();
    void setVisible(const QJsonValue &visible);
    // A list's: every projector of a group switched on or off, each through its owner.
    void groupAction(const QJsonObject &message);
    void sendState(const LineOwner &line);
    void sendPanelState();
    // A projector of the venue that this daemon does not own.
    void sendVenueState(const QString &name);
    void sendTraffic();
    void sendJson(const QJsonObject &object);
    void problem(const QString &text);
    void heard();
    void ping();
    PanelLine::Done completion(const QString &control);
    // Where its commands come from, as the owner's log names it.
    QString origin() const;

    QWebSocket *socket_;
    PanelLine *panel_;
    Venue *venue_;
    QSet<QString> own_; // the names of this daemon's projectors, for a list
    std::vector<LineOwner *> lines_;
    int groupWaiting_ = 0; // outcomes of the group action under way
    QByteArray session_;
    Clock &clock_;
    LineTimer pinger_;
    Milliseconds lastHeard_;
    QTimer silence_;
    QTimer traffic_; // one message for the texts that change together
    Line::HoldId hold_ = 0;
    int waiting_ = 0;
    bool hidden_ = false; // the page is in the background
};

} // namespace qv7::bridge
