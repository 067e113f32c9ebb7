#include "serialtransport.h"

#include <QFile>

#ifdef Q_OS_UNIX
#include <dirent.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>
#endif

namespace qv7 {

namespace {

constexpr qint64 kInBufferSize = 1024;

QSerialPort::Parity toQt(Parity parity)
{
    switch (parity) {
    case Parity::None:
        return QSerialPort::NoParity;
    case Parity::Even:
        return QSerialPort::EvenParity;
    case Parity::Odd:
        return QSerialPort::OddParity;
    case Parity::Mark:
        return QSerialPort::MarkParity;
    case Parity::Space:
        return QSerialPort::SpaceParity;
    }
    return QSerialPort::NoParity;
}

QSerialPort::StopBits toQt(StopBits stopBits)
{
    switch (stopBits) {
    case StopBits::One:
        return QSerialPort::OneStop;
    case StopBits::OneAndHalf:
        return QSerialPort::OneAndHalfStop;
    case StopBits::Two:
        return QSerialPort::TwoStop;
    }
    return QSerialPort::OneStop;
}

// Whether the driver takes bytes now. Qt's flush() treats a full line as a write error, so
// it is only asked to write when there is room; otherwise the bytes wait in the transmit
// buffer for the port's own write notification.
bool driverHasRoom(const QSerialPort &port)
{
#ifdef Q_OS_UNIX
    pollfd line{static_cast<int>(port.handle()), POLLOUT, 0};
    return ::poll(&line, 1, 0) == 1 && (line.revents & POLLOUT);
#else
    Q_UNUSED(port);
    return true;
#endif
}

#ifdef Q_OS_LINUX
// The names in a directory; none when it cannot be read (another user's process, or gone).
std::vector<std::string> entries(const std::string &path)
{
    std::vector<std::string> names;
    if (DIR *directory = ::opendir(path.c_str())) {
        while (const dirent *entry = ::readdir(directory))
            if (entry->d_name[0] != '.')
                names.emplace_back(entry->d_name);
        ::closedir(directory);
    }
    return names;
}

// This process and those that started it: a script that opened the line and then ran this
// program handed the line over, and is no other program.
std::vector<std::string> selfAndAncestors()
{
    std::vector<std::string> pids;
    for (pid_t pid = ::getpid(); pid > 1 && pids.size() < 64;) {
        pids.push_back(std::to_string(pid));
        QFile stat(QString::fromStdString("/proc/" + pids.back() + "/stat"));
        if (!stat.open(QIODevice::ReadOnly))
            break;
        // After the command's closing parenthesis: the state, then the parent's pid.
        const QList<QByteArray> fields = stat.readAll().split(')').last().trimmed().split(' ');
        pid = fields.value(1).toInt();
    }
    return pids;
}
#endif

// The other processes that have the device open, as "cat (pid 1234)". A program that takes no
// lock (cat, a shell's redirection) would share the line and swallow the replies unseen. Only
// the processes that /proc shows this user are found, and only on Linux.
QStringList deviceHolders(const QString &device)
{
    QStringList holders;
#ifdef Q_OS_LINUX
    struct stat target {};
    if (::stat(QFile::encodeName(device).constData(), &target) != 0 || !S_ISCHR(target.st_mode))
        return holders;
    const std::vector<std::string> family = selfAndAncestors();
    for (const std::string &pid : entries("/proc")) {
        if (std::ranges::find(family, pid) != family.end() ||
            !std::ranges::all_of(pid, [](char c) { return c >= '0' && c <= '9'; }))
            continue;
        const std::string fds = "/proc/" + pid + "/fd/";
        const auto isDevice = [&](const std::string &fd) {
            struct stat open {};
            return ::stat((fds + fd).c_str(), &open) == 0 && S_ISCHR(open.st_mode) &&
                   open.st_rdev == target.st_rdev;
        };
        if (!std::ranges::any_of(entries(fds), isDevice))
            continue;
        QFile command(QString::fromStdString("/proc/" + pid + "/comm"));
        const QByteArray name = command.open(QIODevice::ReadOnly) ? command.readAll().trimmed()
                                                                  : QByteArray("a process");
        holders << QStringLiteral("%1 (pid %2)")
                       .arg(QString::fromLocal8Bit(name), QString::fromStdString(pid));
    }
#else
    Q_UNUSED(device);
#endif
    return holders;
}

// Programs that lock the device itself rather than a lock file (picocom) see this one too,
// and this one them; root passes TIOCEXCL, but not this.
bool lockDevice(const QSerialPort &port)
{
#ifdef Q_OS_UNIX
    return ::flock(static_cast<int>(port.handle()), LOCK_EX | LOCK_NB) == 0;
#else
    Q_UNUSED(port);
    return true;
#endif
}

} // namespace

DeviceAccess deviceAccess(const QString &device)
{
    DeviceAccess access;
#ifdef Q_OS_UNIX
    struct stat status {};
    const passwd *account = ::getpwuid(::geteuid());
    if (account)
        access.user = QString::fromLocal8Bit(account->pw_name);
    if (::stat(QFile::encodeName(device).constData(), &status) != 0)
        return access;
    if (const group *owner = ::getgrgid(status.st_gid))
        access.group = QString::fromLocal8Bit(owner->gr_name);
    access.groupMayOpen = (status.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
    if (account) {
        int count = 64;
        std::vector<gid_t> groups(static_cast<std::size_t>(count));
        if (::getgrouplist(account->pw_name, account->pw_gid, groups.data(), &count) < 0) {
            groups.resize(std::size_t(count));
            ::getgrouplist(account->pw_name, account->pw_gid, groups.data(), &count);
        }
        groups.resize(std::size_t(std::max(count, 0)));
        access.memberOfGroup = std::ranges::find(groups, status.st_gid) != groups.end();
    }
    std::vector<gid_t> login(std::size_t(std::max(::getgroups(0, nullptr), 0)));
    login.resize(std::size_t(std::max(::getgroups(int(login.size()), login.data()), 0)));
    access.groupInThisLogin =
        ::getegid() == status.st_gid || std::ranges::find(login, status.st_gid) != login.end();
#else
    Q_UNUSED(device);
#endif
    return access;
}

QString describePermissionDenied(const DeviceAccess &access)
{
    // Joining a group helps only when the group may open the device, and joining a
    // privileged group would give away far more than one serial line.
    static const QStringList privileged{QStringLiteral("root"), QStringLiteral("adm"),
                                        QStringLiteral("disk"), QStringLiteral("shadow"),
                                        QStringLiteral("sudo"), QStringLiteral("wheel"),
                                        QStringLiteral("kmem"), QStringLiteral("staff")};
    if (!access.group.isEmpty() && (!access.groupMayOpen || privileged.contains(access.group)))
        return QStringLiteral("permission denied; the device is open to its owner only, and no "
                              "group should be joined for it: give it a group with a udev rule "
                              "such as /usr/share/doc/qv7rsc/examples/99-qv7-projector.rules "
                              "(GROUP=\"dialout\", MODE=\"0660\")");
    if (access.group.isEmpty() || access.user.isEmpty() || access.groupInThisLogin)
        return QStringLiteral("permission denied; the device's own permissions keep you out "
                              "(ls -l shows them)");
    if (access.memberOfGroup)
        return QStringLiteral("permission denied; user %1 joined group %2 after this login "
                              "began: log out and in again")
            .arg(access.user, access.group);
    return QStringLiteral("permission denied; the device belongs to group %1 and user %2 is not "
                          "in it: run 'sudo usermod -aG %1 %2', then log out and in again")
        .arg(access.group, access.user);
}

Failure openFailure(QSerialPort::SerialPortError error, const QString &systemText,
                    const QString &device)
{
    switch (error) {
    case QSerialPort::DeviceNotFoundError:
        return {FailureKind::NoSuchDevice,
                QStringLiteral("no such device; is the cable or adapter plugged in?")};
    case QSerialPort::PermissionError:
        // Qt reports a held lock file and a busy device as permission errors; its text is the
        // only thing that tells them apart.
        if (systemText.contains(QLatin1String("lock"), Qt::CaseInsensitive) ||
            systemText.contains(QLatin1String("busy"), Qt::CaseInsensitive))
            return {FailureKind::InUse,
                    QStringLiteral("in use by another program; close it and try again")};
        return {FailureKind::PermissionDenied, describePermissionDenied(deviceAccess(device))};
    case QSerialPort::OpenError:
        return {FailureKind::Unsupported, QStringLiteral("already open")};
    default:
        return {FailureKind::OpenFailed, QStringLiteral("cannot be opened (%1)").arg(systemText)};
    }
}

SerialTransport::SerialTransport(const QString &device, bool reopening, QObject *parent)
    : Transport(parent)
    , device_(device)
    , reopening_(reopening)
{
    port_.setReadBufferSize(kInBufferSize);
    connect(&port_, &QSerialPort::readyRead, this, &Transport::readyRead);
    connect(&port_, &QSerialPort::errorOccurred, this, &SerialTransport::onErrorOccurred);
}

void SerialTransport::open(const LineSettings &settings)
{
    // By its real name, QSerialPort's lock file (LCK..ttyUSB0 in /var/lock) is the one that
    // other programs look for, whichever link the device was named by.
    const QString device = realDevice(device_);
    if (const QStringList holders = reopening_ ? QStringList() : deviceHolders(device);
        !holders.isEmpty())
        throw CommError(FailureKind::InUse, QStringLiteral("in use by %1; close it and try again")
                                                .arg(holders.join(QLatin1String(", "))));
    port_.setPortName(device);
    if (!port_.open(QIODevice::ReadWrite)) {
        const Failure failure = openFailure(port_.error(), port_.errorString(), device);
        port_.clearError();
        throw CommError(failure.kind, failure.description);
    }
    if (!lockDevice(port_)) {
        port_.close();
        throw CommError(FailureKind::InUse,
                        QStringLiteral("in use by another program; close it and try again"));
    }
    try {
        applySettings(settings);
    } catch (const CommError &) {
        port_.close();
        throw;
    }
}

void SerialTransport::close()
{
    port_.close();
    port_.clearError();
}

void SerialTransport::applySettings(const LineSettings &settings)
{
    const bool applied = port_.setBaudRate(settings.baudRate) &&
                         port_.setDataBits(static_cast<QSerialPort::DataBits>(settings.dataBits)) &&
                         port_.setParity(toQt(settings.parity)) &&
                         port_.setStopBits(toQt(settings.stopBits)) &&
                         port_.setFlowControl(QSerialPort::NoFlowControl);
    if (!applied) {
        const QString reason = port_.errorString();
        port_.clearError();
        throw CommError(FailureKind::Unsupported,
                        QStringLiteral("the line settings cannot be applied (%1)").arg(reason));
    }
}

void SerialTransport::write(std::string_view data)
{
    const qint64 written = port_.write(data.data(), static_cast<qint64>(data.size()));
    if (written != static_cast<qint64>(data.size())) {
        const QString reason = port_.errorString();
        port_.clearError();
        throw CommError(FailureKind::WriteFailed, QStringLiteral("write failed (%1)").arg(reason));
    }
    // Hand the bytes to the driver now rather than at the next turn of the event loop.
    if (driverHasRoom(port_))
        port_.flush();
    if (!port_.isOpen())
        throw CommError(FailureKind::Lost, QStringLiteral("the device went away while writing"));
}

void SerialTransport::onErrorOccurred(QSerialPort::SerialPortError error)
{
    // A hang-up shows as a read error that repeats for as long as the port stays open; treat
    // read, write and resource errors on an open port as the device being gone.
    const bool gone = error == QSerialPort::ResourceError || error == QSerialPort::ReadError ||
                      error == QSerialPort::WriteError;
    if (!gone || !port_.isOpen())
        return;
    const QString reason = port_.errorString();
    port_.close();
    port_.clearError();
    emit lost(QStringLiteral("the device went away (%1)").arg(reason));
}

} // namespace qv7
