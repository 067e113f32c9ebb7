#include "commandline.h"

#include "bridge/mqtt/discovery.h"
#include "bridge/pjlink/pjlinkudp.h"
#include "cli/exitstatus.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QHostAddress>
#include <QRegularExpression>
#include <QSslKey>
#include <QSysInfo>
#include <QUrl>

#include <sys/stat.h>

namespace qv7::bridge {

namespace {

constexpr quint16 kMqttPort = 1883;
constexpr quint16 kMqttsPort = 8883;

QString value(const QCommandLineParser &parser, const char *name)
{
    return parser.value(QString::fromLatin1(name));
}

// A prefix goes in front of every topic: one or more levels, no wildcards.
QString topicPrefix(const QCommandLineParser &parser, const char *name)
{
    const QString prefix = value(parser, name);
    if (prefix.isEmpty() || prefix.startsWith(u'/') || prefix.endsWith(u'/') ||
        prefix.contains(u'+') || prefix.contains(u'#') || prefix.contains(u"//"))
        throw UsageError(QStringLiteral("--%1 is topic levels without wildcards, such as "
                                        "\"qv7\" or \"site/qv7\", not \"%2\"")
                             .arg(QLatin1StringView(name), prefix));
    return prefix;
}

// Under systemd a relative path names a credential that it hands the service.
QString credential(const QString &path, const QString &otherwise = {})
{
    const QString credentials = qEnvironmentVariable("CREDENTIALS_DIRECTORY");
    if (!QFileInfo(path).isRelative() || (credentials.isEmpty() && otherwise.isEmpty()))
        return path;
    return QDir(credentials.isEmpty() ? otherwise : credentials).filePath(path);
}

// The first line of a password file, without its line end (editors add one). A file that
// every user of the machine may read is taken, as it always was, with a warning.
QByteArray password(const QString &path, const QString &option, QStringList &warnings)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw UsageError(
            QStringLiteral("%1 %2: cannot be read (%3)").arg(option, path, file.errorString()));
    struct stat status {};
    if (::fstat(file.handle(), &status) == 0 && (status.st_mode & S_IROTH))
        warnings << QStringLiteral("%1 %2: every user of this machine may read it (mode %3): "
                                   "run 'chmod o-rw %2', or hand it over as a systemd "
                                   "credential")
                        .arg(option, path)
                        .arg(status.st_mode & 07777, 4, 8, QLatin1Char('0'));
    const QByteArray line = file.readLine().replace('\n', "").replace('\r', "");
    if (line.isEmpty())
        throw UsageError(QStringLiteral("%1 %2: the first line is empty").arg(option, path));
    return line;
}

std::optional<BrokerSettings> broker(const QCommandLineParser &parser, QStringList &warnings)
{
    const QString address = value(parser, "broker");
    if (address.isEmpty()) {
        for (const char *option : {"ca", "cert", "key", "username", "password-file", "client-id"}) {
            if (parser.isSet(QString::fromLatin1(option)))
                throw UsageError(QStringLiteral("--%1 is for a broker: give --broker URL as well")
                                     .arg(QLatin1StringView(option)));
        }
        return std::nullopt;
    }
    const QUrl url(address, QUrl::StrictMode);
    const bool tls = url.scheme() == u"mqtts";
    if (!url.isValid() || (url.scheme() != u"mqtt" && !tls) || url.host().isEmpty() ||
        !(url.path().isEmpty() || url.path() == u"/") || url.hasQuery() || url.hasFragment())
        throw UsageError(
            QStringLiteral("--broker is mqtt://HOST:PORT or mqtts://HOST:PORT, not \"%1\"")
                .arg(address));
    if (!url.userInfo().isEmpty())
        throw UsageError(QStringLiteral("--broker takes no user or password: use --username "
                                        "and --password-file"));
    BrokerSettings settings;
    settings.host = url.host();
    settings.port = quint16(url.port(tls ? kMqttsPort : kMqttPort));
    settings.caFile = value(parser, "ca");
    if (tls && settings.caFile.isEmpty())
        throw UsageError(QStringLiteral("mqtts:// needs --ca FILE, the certificate that the "
                                        "broker's is checked against"));
    if (!tls && !settings.caFile.isEmpty())
        throw UsageError(QStringLiteral("--ca is for an mqtts:// broker"));
    settings.certFile = value(parser, "cert");
    settings.keyFile = value(parser, "key");
    if (settings.certFile.isEmpty() != settings.keyFile.isEmpty())
        throw UsageError(QStringLiteral("--cert and --key go together: the bridge's certificate "
                                        "and its private key"));
    if (!tls && !settings.certFile.isEmpty())
        throw UsageError(QStringLiteral("--cert and --key are for an mqtts:// broker"));
    for (const auto &[option, file] : {std::pair{"--ca", settings.caFile},
                                       {"--cert", settings.certFile},
                                       {"--key", settings.keyFile}}) {
        if (!file.isEmpty() && !QFileInfo(file).isReadable())
            throw UsageError(QStringLiteral("%1 %2: no such file, or it cannot be read")
                                 .arg(QLatin1StringView(option), file));
    }
    settings.clientId = value(parser, "client-id");
    if (!settings.clientId.isEmpty() &&
        !QRegularExpression(QStringLiteral("^[A-Za-z0-9_.-]{1,40}$"))
             .match(settings.clientId)
             .hasMatch())
        throw UsageError(QStringLiteral("--client-id is 1 to 40 letters, digits, _, . and -, "
                                        "not \"%1\"")
                             .arg(settings.clientId));
    settings.username = value(parser, "username");
    const QString passwordFile = value(parser, "password-file");
    if (passwordFile.isEmpty())
        return settings;
    if (settings.username.isEmpty())
        throw UsageError(QStringLiteral("--password-file needs --username"));
    settings.password = QString::fromUtf8(
        password(credential(passwordFile), QStringLiteral("--password-file"), warnings));
    return settings;
}

// "9752" or "[::1]:9752"; a port alone is on loopback.
ListenAddress listenAddress(const QCommandLineParser &parser, const char *name, const char *example)
{
    const QString text = value(parser, name);
    const auto address =
        parseListenAddress(text.contains(u':') ? text : QStringLiteral("127.0.0.1:") + text);
    if (!address)
        throw UsageError(QStringLiteral("--%1 is PORT or ADDRESS:PORT, such as %2, not \"%3\"")
                             .arg(QLatin1StringView(name), QLatin1StringView(example), text));
    return *address;
}

QSslConfiguration webTls(const QString &certFile, const QString &keyFile)
{
    const QList<QSslCertificate> chain = QSslCertificate::fromPath(certFile, QSsl::Pem);
    if (chain.isEmpty())
        throw UsageError(
            QStringLiteral("--web-cert %1: no PEM certificate can be read from it").arg(certFile));
    QFile file(keyFile);
    if (!file.open(QIODevice::ReadOnly))
        throw UsageError(
            QStringLiteral("--web-key %1: cannot be read (%2)").arg(keyFile, file.errorString()));
    const QByteArray pem = file.readAll();
    QSslKey key(pem, QSsl::Rsa);
    if (key.isNull())
        key = QSslKey(pem, QSsl::Ec);
    if (key.isNull())
        throw UsageError(QStringLiteral("--web-key %1: no unencrypted PEM RSA or EC private key "
                                        "can be read from it")
                             .arg(keyFile));
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setLocalCertificateChain(chain);
    tls.setPrivateKey(key);
    tls.setPeerVerifyMode(QSslSocket::VerifyNone);
    return tls;
}

std::optional<WebSettings> web(const QCommandLineParser &parser, QStringList &warnings)
{
    if (value(parser, "web").isEmpty()) {
        for (const char *option : {"web-password-file", "web-cert", "web-key"}) {
            if (parser.isSet(QString::fromLatin1(option)))
                throw UsageError(
                    QStringLiteral("--%1 is for the web pages: give --web PORT as well")
                        .arg(QLatin1StringView(option)));
        }
        return std::nullopt;
    }
    WebSettings settings;
    settings.address = listenAddress(parser, "web", "8080 or [::1]:8080");
    if (const QString file = value(parser, "web-password-file"); !file.isEmpty())
        settings.password =
            password(credential(file), QStringLiteral("--web-password-file"), warnings);
    if (!QHostAddress(settings.address.host).isLoopback() && settings.password.isEmpty())
        throw UsageError(QStringLiteral("--web %1 serves the network, where anyone could work "
                                        "the projectors: give --web-password-file FILE, or serve "
                                        "loopback only (--web PORT)")
                             .arg(value(parser, "web")));
    const QString certFile = value(parser, "web-cert");
    const QString keyFile = value(parser, "web-key");
    if (certFile.isEmpty() != keyFile.isEmpty())
        throw UsageError(QStringLiteral("--web-cert and --web-key go together: the pages' "
                                        "certificate and its private key"));
    if (!certFile.isEmpty())
        settings.tls = webTls(credential(certFile), credential(keyFile));
    return settings;
}

// Home Assistant keeps one device and its entities by discovery id: two projectors that
// would share one overwrite each other's there.
void refuseSharedDiscoveryIds(const Inventory &inventory)
{
    QHash<QString, QString> names; // by discovery id
    for (const InventoryEntry &projector : inventory.projectors()) {
        const QString id = discoveryNode(projector.name).toLower();
        if (const auto other = names.constFind(id); other != names.cend())
            throw UsageError(QStringLiteral("[%1] and [%2] would have the same discovery id on "
                                            "the broker (%3): rename one of them")
                                 .arg(*other, projector.name, id));
        names.insert(id, projector.name);
    }
}

// A controller tells projectors apart by their address: two PJLink faces on one address and
// port would be one device (and the second could not listen). With search and notifications
// on, one address on two ports or one MAC address for two would be one projector to a
// controller that searches or is notified.
void refuseSharedPjlinkFaces(const Inventory &inventory, quint16 udpPort)
{
    QList<const InventoryEntry *> faces;
    for (const InventoryEntry &projector : inventory.projectors()) {
        if (projector.pjlinkPort)
            faces.append(&projector);
    }
    const auto at = [](const InventoryEntry &projector) {
        return QHostAddress(projector.pjlinkHost);
    };
    const auto endpoint = [](const InventoryEntry &projector) {
        return (projector.pjlinkHost.contains(u':') ? QStringLiteral("[%1]:%2")
                                                    : QStringLiteral("%1:%2"))
            .arg(projector.pjlinkHost)
            .arg(projector.pjlinkPort);
    };
    const auto mac = [](const InventoryEntry &projector) {
        return projector.mac ? *projector.mac : pjlink::macOfName(projector.name.toStdString());
    };
    for (qsizetype i = 0; i < faces.size(); ++i) {
        const InventoryEntry &one = *faces[i];
        for (qsizetype j = 0; j < i; ++j) {
            const InventoryEntry &other = *faces[j];
            // A wildcard address takes the port on every address of its protocol.
            const bool overlap =
                at(one) == at(other) ||
                (at(one).protocol() == at(other).protocol() &&
                 (at(one) == QHostAddress::AnyIPv4 || at(one) == QHostAddress::AnyIPv6 ||
                  at(other) == QHostAddress::AnyIPv4 || at(other) == QHostAddress::AnyIPv6));
            const bool samePort = one.pjlinkPort == other.pjlinkPort;
            if (overlap && (samePort || udpPort))
                throw UsageError(
                    QStringLiteral("[%1] at %2 and [%3] at %4 share a PJLink address%5: give each "
                                   "projector an address of its own (see ADDRESSES in "
                                   "qv7-bridge(1))%6")
                        .arg(other.name, endpoint(other), one.name, endpoint(one),
                             samePort ? QStringLiteral(" and port") : QString(),
                             samePort ? QString()
                                      : QStringLiteral(", or serve Class 1 alone with "
                                                       "--pjlink-udp 0")));
            if (udpPort && mac(one) == mac(other))
                throw UsageError(QStringLiteral("[%1] and [%2] have the same MAC address %3: a "
                                                "controller that searches would see one projector")
                                     .arg(other.name, one.name,
                                          QString::fromStdString(pjlink::macText(mac(one)))));
        }
        if (!udpPort)
            continue;
        for (const ListenAddress &controller : one.pjlinkNotify) {
            const QHostAddress to(controller.host);
            if (to == QHostAddress::AnyIPv4 || to == QHostAddress::AnyIPv6)
                throw UsageError(QStringLiteral("[%1] pjlink-notify %2 is no controller's address")
                                     .arg(one.name, controller.host));
            if (!canReach(at(one), to))
                throw UsageError(QStringLiteral("[%1] pjlink-notify %2: its PJLink address %3 "
                                                "cannot reach it (a loopback address reaches "
                                                "only loopback, IPv4 only IPv4)")
                                     .arg(one.name, controller.host, one.pjlinkHost));
        }
    }
}

// A topic level of its own: no separator or wildcard, nothing a log line could hide in.
QString hostName(const QCommandLineParser &parser)
{
    const bool given = parser.isSet(QStringLiteral("host-name"));
    const QString name = given ? value(parser, "host-name") : QSysInfo::machineHostName();
    if (QRegularExpression(QStringLiteral("^[A-Za-z0-9_.-]{1,64}$")).match(name).hasMatch())
        return name;
    throw UsageError(given ? QStringLiteral("--host-name is 1 to 64 letters, digits, _, . and -, "
                                            "not \"%1\"")
                                 .arg(name)
                           : QStringLiteral("this machine's host name \"%1\" is no topic level: "
                                            "give --host-name NAME")
                                 .arg(name));
}

} // namespace

QByteArray pjlinkPassword(const InventoryEntry &projector, const QString &inventory,
                          QStringList &warnings)
{
    if (projector.pjlinkPasswordFile.isEmpty())
        return {};
    // Or else a file beside the inventory.
    const QString path =
        credential(projector.pjlinkPasswordFile, QFileInfo(inventory).absolutePath());
    const QByteArray secret =
        password(path, QStringLiteral("[%1] pjlink-password-file").arg(projector.name), warnings);
    // What PJLink clients can type: up to 32 characters, printable ASCII.
    if (secret.size() > 32 ||
        !std::ranges::all_of(secret, [](char c) { return c >= ' ' && c <= '~'; }))
        throw UsageError(QStringLiteral("[%1] pjlink-password-file %2: a PJLink password is at "
                                        "most 32 printable ASCII characters")
                             .arg(projector.name, path));
    return secret;
}

void addOptions(QCommandLineParser &parser)
{
    parser.setApplicationDescription(QStringLiteral(
        "Owns the serial lines of the projectors of an inventory file and serves them on an MQTT "
        "broker (with --broker), as PJLink Class 2 devices (for each projector with a pjlink "
        "key), as web pages (with --web), or all of these. On the broker: their state retained "
        "under PREFIX/NAME/ (power, input, lamp_hours, orientation, link, availability), "
        "commands taken from PREFIX/NAME/power/set, input/set and command, with outcomes on "
        "PREFIX/NAME/reply, and Home Assistant discovery. Logs one line per event on standard "
        "error. Exit status: 0 stopped by a signal, 64 a wrong command line, inventory, password "
        "or certificate file, or nothing to serve, 69 a PJLink, metrics or web port that cannot "
        "be listened on."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOptions({
        {QStringLiteral("inventory"),
         QStringLiteral("The projectors: an INI file of [NAME] sections with port, speed, "
                        "the poll periods power-poll, transition-poll, lamp-poll in seconds, "
                        "and for PJLink pjlink = ADDRESS:PORT, pjlink-password-file = FILE, "
                        "manufacturer, model, info, mac = xx:xx:xx:xx:xx:xx and "
                        "pjlink-notify = ADDRESS[:PORT], ..."),
         QStringLiteral("file")},
        {QStringLiteral("broker"),
         QStringLiteral("The broker: mqtt://HOST[:PORT] or mqtts://HOST[:PORT]; without it, "
                        "PJLink only."),
         QStringLiteral("url")},
        {QStringLiteral("ca"),
         QStringLiteral("For mqtts://: the certificate authority the broker's certificate is "
                        "checked against."),
         QStringLiteral("file")},
        {QStringLiteral("cert"),
         QStringLiteral("For mqtts:// to a broker that asks for a client certificate: the "
                        "bridge's certificate (PEM), with --key."),
         QStringLiteral("file")},
        {QStringLiteral("key"), QStringLiteral("The private key (PEM, not encrypted) of --cert."),
         QStringLiteral("file")},
        {QStringLiteral("client-id"),
         QStringLiteral("The start of the client ids at the broker: each projector's connection "
                        "is ID-NAME. Random unless given."),
         QStringLiteral("id")},
        {QStringLiteral("username"), QStringLiteral("The user name at the broker."),
         QStringLiteral("name")},
        {QStringLiteral("password-file"),
         QStringLiteral("A file whose first line is the password at the broker; under "
                        "systemd, a relative path names one of the service's credentials."),
         QStringLiteral("file")},
        {QStringLiteral("host-name"),
         QStringLiteral("This host's name among the daemons on the broker, which the venue's "
                        "lists show as each projector's owner. The machine's host name unless "
                        "given."),
         QStringLiteral("name")},
        {QStringLiteral("topic-prefix"), QStringLiteral("The first topic levels of every topic."),
         QStringLiteral("prefix"), QStringLiteral("qv7")},
        {QStringLiteral("discovery-prefix"), QStringLiteral("Home Assistant's discovery prefix."),
         QStringLiteral("prefix"), QStringLiteral("homeassistant")},
        {QStringLiteral("metrics"),
         QStringLiteral("Serve the readings of the projectors for Prometheus at "
                        "http://ADDRESS:PORT/metrics; the address is 127.0.0.1 unless given."),
         QStringLiteral("[address:]port")},
        {QStringLiteral("web"),
         QStringLiteral("Serve the projectors as web pages at http://ADDRESS:PORT/: the list of "
                        "them, and each one's control window, live. The address is 127.0.0.1 "
                        "unless given; any other needs --web-password-file."),
         QStringLiteral("[address:]port")},
        {QStringLiteral("web-password-file"),
         QStringLiteral("A file whose first line is the password of the web pages; under "
                        "systemd, a relative path names one of the service's credentials."),
         QStringLiteral("file")},
        {QStringLiteral("web-cert"),
         QStringLiteral("Serve the web pages over HTTPS with this certificate (PEM, the chain "
                        "after it), with --web-key; under systemd, a relative path names one of "
                        "the service's credentials, as it does for the key."),
         QStringLiteral("file")},
        {QStringLiteral("web-key"),
         QStringLiteral("The private key (PEM, not encrypted) of --web-cert."),
         QStringLiteral("file")},
        {QStringLiteral("pjlink-udp"),
         QStringLiteral("The UDP port of PJLink Class 2's search and status notifications, on "
                        "each projector's PJLink address and at the controllers; 0 turns them "
                        "off. The standard's is 4352: another is for tests."),
         QStringLiteral("port"), QString::number(pjlink::kUdpPort)},
        cli::connectTimeoutOption(),
        {QStringLiteral("verbose"), QStringLiteral("Log every command and reply as well.")},
    });
}

BridgeOptions options(const QCommandLineParser &parser, QStringList &warnings)
{
    if (!parser.positionalArguments().isEmpty())
        throw UsageError(QStringLiteral("unexpected \"%1\": everything is an option")
                             .arg(parser.positionalArguments().first()));
    BridgeOptions options;
    options.inventory = value(parser, "inventory");
    if (options.inventory.isEmpty())
        throw UsageError(QStringLiteral("--inventory FILE names the projectors"));
    options.broker = broker(parser, warnings);
    if (!value(parser, "metrics").isEmpty())
        options.metrics = listenAddress(parser, "metrics", "9752 or [::1]:9752");
    options.web = web(parser, warnings);
    options.bridge.topicPrefix = topicPrefix(parser, "topic-prefix");
    options.bridge.discoveryPrefix = topicPrefix(parser, "discovery-prefix");
    options.bridge.hostName = hostName(parser);
    options.bridge.verbose = parser.isSet(QStringLiteral("verbose"));
    options.bridge.connectTimeoutMs = cli::connectTimeout(parser);
    bool number = false;
    const uint udpPort = value(parser, "pjlink-udp").toUInt(&number);
    if (!number || udpPort > 65535)
        throw UsageError(QStringLiteral("--pjlink-udp is a port from 0 (none) to 65535, not \"%1\"")
                             .arg(value(parser, "pjlink-udp")));
    options.pjlinkUdpPort = quint16(udpPort);
    return options;
}

Configuration configure(const QStringList &arguments)
{
    QCommandLineParser parser;
    addOptions(parser);
    if (!parser.parse(arguments))
        throw UsageError(parser.errorText());
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(EX_OK);
    if (parser.isSet(QStringLiteral("version")))
        parser.showVersion();
    Configuration configuration;
    configuration.options = options(parser, configuration.warnings);
    configuration.inventory = Inventory::load(configuration.options.inventory);
    bool pjlink = false;
    for (const InventoryEntry &projector : configuration.inventory.projectors()) {
        configuration.passwords.push_back(
            pjlinkPassword(projector, configuration.options.inventory, configuration.warnings));
        pjlink = pjlink || projector.pjlinkPort;
    }
    if (configuration.options.broker)
        refuseSharedDiscoveryIds(configuration.inventory);
    refuseSharedPjlinkFaces(configuration.inventory, configuration.options.pjlinkUdpPort);
    if (!configuration.options.broker && !pjlink && !configuration.options.metrics &&
        !configuration.options.web)
        throw UsageError(QStringLiteral("nothing to serve: give --broker URL, --web PORT, "
                                        "--metrics PORT, or a pjlink key to a projector of %1")
                             .arg(configuration.options.inventory));
    return configuration;
}

} // namespace qv7::bridge
