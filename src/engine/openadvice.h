#pragma once

#include "commerror.h"

#include <QSerialPort>
#include <QString>

#include <optional>

namespace qv7 {

// Who may open a device, as far as its group goes.
struct DeviceAccess {
    QString group;                 // the device's group; empty when not known
    QString user;                  // who runs this program
    bool memberOfGroup = false;    // the group database lists the user in the group
    bool groupInThisLogin = false; // this process has the group
    bool groupMayOpen = true;      // the device's mode lets its group read and write
};

// What the operating system says of a device and the user running this program.
DeviceAccess deviceAccess(const QString &device);

// What an operator reads when the system refuses a device: which group opens it and, when the
// user is not in it, the command that puts them there.
QString describePermissionDenied(const DeviceAccess &access);

// When a device's lock file was left by a program that is no longer running, and this user
// may not remove it (QSerialPort removes such a file itself when it can): what an operator
// reads of it, naming the file and the program. Nothing when the lock is not such a one.
std::optional<QString> describeStaleLock(const QString &device);

// Why a port does not open: its kind, and what an operator reads of what went wrong and what
// to do about it.
Failure openFailure(QSerialPort::SerialPortError error, const QString &systemText,
                    const QString &device);

} // namespace qv7
