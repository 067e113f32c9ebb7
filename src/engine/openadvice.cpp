#include "openadvice.h"

#include <QFile>

#ifdef Q_OS_UNIX
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <vector>
#endif

namespace qv7 {

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

} // namespace qv7
