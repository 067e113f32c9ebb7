#include "deviceholders.h"

#include <QFile>

#ifdef Q_OS_LINUX
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>
#endif

namespace qv7 {

namespace {

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

} // namespace

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

} // namespace qv7
