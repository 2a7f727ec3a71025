#ifndef PORTINFO_H
#define PORTINFO_H

#include <QList>
#include <QString>

#include <functional>

// What the program knows of one serial port. Tests and tools can list a port
// the system does not enumerate (a pseudo-terminal) through the same record.
struct PortInfo
{
    QString name;         // as listed: "COM3", "ttyUSB0", "pts/4"
    QString description;
    QString manufacturer;
    QString serialNumber;
    quint16 vendorId = 0; // 0 when the port is not a USB device
    quint16 productId = 0;
};

using PortSource = std::function<QList<PortInfo>()>;

// The serial ports the system reports, in its order.
QList<PortInfo> systemPorts();

// The path a listed port is opened under: "\\.\COM3" on Windows,
// "/dev/ttyUSB0" for "ttyUSB0" elsewhere; a path is kept as it is.
QString portPath(const QString &portName);

// The USB VID:PID in hex ("0403:6001"); empty when the port is not a USB device.
QString usbId(const PortInfo &info);

// One line for a port listing: the name, then whatever the system knows of
// description, manufacturer, USB VID:PID (hex) and serial number.
QString portDescription(const PortInfo &info);

#endif // PORTINFO_H
