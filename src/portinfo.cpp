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
