#include "portinfo.h"

#include <QSerialPortInfo>

QList<PortInfo> systemPorts()
{
    QList<PortInfo> ports;
    const QList<QSerialPortInfo> infos = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : infos) {
        ports.append({info.portName(), info.description(), info.manufacturer(),
                      info.serialNumber(),
                      info.hasVendorIdentifier() ? info.vendorIdentifier() : quint16(0),
                      info.hasProductIdentifier() ? info.productIdentifier() : quint16(0)});
    }
    return ports;
}

QString portPath(const QString &portName)
{
#ifdef Q_OS_WIN
    const QString devicePrefix = QStringLiteral("\\\\.\\");
    if (portName.startsWith(devicePrefix))
        return portName;
    return devicePrefix + portName;
#else
    if (portName.startsWith(QLatin1Char('/')))
        return portName;
    return QStringLiteral("/dev/") + portName;
#endif
}

QString usbId(const PortInfo &info)
{
    if (info.vendorId == 0 && info.productId == 0)
        return {};
    return QString::asprintf("%04x:%04x", info.vendorId, info.productId);
}

QString portDescription(const PortInfo &info)
{
    QStringList parts{info.name};
    if (!info.description.isEmpty())
        parts.append(info.description);
    if (!info.manufacturer.isEmpty())
        parts.append(info.manufacturer);
    if (const QString usb = usbId(info); !usb.isEmpty())
        parts.append(QStringLiteral("USB ") + usb);
    if (!info.serialNumber.isEmpty())
        parts.append(QStringLiteral("serial ") + info.serialNumber);
    return parts.join(QStringLiteral("  "));
}
