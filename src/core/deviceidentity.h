#ifndef DEVICEIDENTITY_H
#define DEVICEIDENTITY_H

#include <QByteArray>
#include <QString>

// The 16-byte record a device announces itself with, as people and records
// read it: the UID in its first eight bytes, the version's minor byte at 10
// and major byte at 11; the other bytes are the device's own.
class DeviceIdentity
{
public:
    explicit DeviceIdentity(const QByteArray &record) : record(record.leftJustified(16, '\0', true)) {}

    // "UID: 0A 1B 2C 3D 4E 5F 60 71 V2.3", as the status line shows a device.
    QString text() const { return QStringLiteral("UID: %1 V%2").arg(hex(' '), versionText()); }
    // The UID as one word ("0A1B2C3D4E5F6071") and the version ("2.3").
    QString uidHex() const { return hex('\0'); }
    QString versionText() const { return QStringLiteral("%1.%2").arg(quint8(record.at(11))).arg(quint8(record.at(10))); }

private:
    QString hex(char separator) const { return QString::fromLatin1(record.left(8).toHex(separator).toUpper()); }

    QByteArray record;
};

#endif // DEVICEIDENTITY_H
