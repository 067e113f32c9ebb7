#include "openadvice.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <vector>
#endif

namespace qv7 {

namespace {

#ifdef Q_OS_UNIX
// Where QSerialPort looks for a device's lock file, in its order: /dev/ttyUSB0 is
// /var/lock/LCK..ttyUSB0, /dev/pts/3 LCK..pts_3.
QString lockFile(const QString &device)
{
    static const QStringList directories{
        QStringLiteral("/var/lock"),
        QStringLiteral("/etc/locks"),
        QStringLiteral("/var/spool/locks"),
        QStringLiteral("/var/spool/uucp"),
        QStringLiteral("/tmp"),
        QStringLiteral("/var/tmp"),
        QStringLiteral("/var/lock/lockdev"),
        QStringLiteral("/run/lock"),
        QStandardPaths::writableLocation(QStandardPaths::TempLocation)};
    QString name = device;
    if (name.startsWith(QLatin1String("/dev/")))
        name.remove(0, 5);
    name = QStringLiteral("LCK..") + name.replace(u'/', u'_');
    for (const QString &directory : directories) {
        if (QFile::exists(QDir(directory).filePath(name)))
            return QDir(directory).filePath(name);
    }
    return {};
}

// Whether this user may remove a file from its directory, the sticky bit (as /run/lock has)
// heeded.
bool mayRemove(const QString &path)
{
    const QByteArray file = QFile::encodeName(path);
    const QByteArray directory = QFile::encodeName(path.section(u'/', 0, -2));
    struct stat own {
    }, parent{};
    if (::stat(file.constData(), &own) != 0 || ::stat(directory.constData(), &parent) != 0 ||
        ::access(directory.constData(), W_OK | X_OK) != 0)
        return false;
    const uid_t user = ::geteuid();
    return !(parent.st_mode & S_ISVTX) || user == 0 || own.st_uid == user || parent.st_uid == user;
}
#endif

} // namespace

std::optional<QString> describeStaleLock(const QString &device)
{
#ifdef Q_OS_UNIX
    const QString path = lockFile(device);
    QFile file(path);
    if (path.isEmpty() || !file.open(QIODevice::ReadOnly))
        return std::nullopt;
    // QLockFile writes the process id, the program and the host on lines of their own; the
    // UUCP lock files of other programs "      1234 minicom user" or the process id alone.
    const QList<QByteArray> lines = file.read(256).split('\n');
    const QList<QByteArray> words = lines.value(0).simplified().split(' ');
    bool number = false;
    const pid_t pid = pid_t(words.value(0).toLong(&number));
    if (!number || pid <= 0 || ::kill(pid, 0) == 0 || errno != ESRCH || mayRemove(path))
        return std::nullopt;
    const QByteArray program = words.size() > 1 ? words.value(1) : lines.value(1).trimmed();
    const passwd *account = ::getpwuid(::geteuid());
    return QStringLiteral("the lock file %1 was left by %2, which is no longer running, and "
                          "user %3 may not remove it: remove the file as its owner or as root "
                          "(sudo rm %1)")
        .arg(path,
             program.isEmpty()
                 ? QStringLiteral("pid %1").arg(pid)
                 : QStringLiteral("%1 (pid %2)").arg(QString::fromLocal8Bit(program)).arg(pid),
             account ? QString::fromLocal8Bit(account->pw_name) : QString::number(::geteuid()));
#else
    Q_UNUSED(device);
    return std::nullopt;
#endif
}

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
        // A lock file that nobody holds any more is no other program's use of the device: it
        // is a file this user may not remove.
        if (systemText.contains(QLatin1String("lock"), Qt::CaseInsensitive)) {
            if (const auto stale = describeStaleLock(device))
                return {FailureKind::PermissionDenied, *stale};
        }
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

} // namespace qv7
