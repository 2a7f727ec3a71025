#ifndef SERIALLINK_H
#define SERIALLINK_H

#include <QSerialPort>
#include <QString>

// Setting up the line to a device: the same for the dialog and the tools.
namespace SerialLink {

// Opens portName read-write at 115200 baud, 8 data bits, no parity, 1 stop
// bit, no flow control, closing port first if it is open. Returns an empty
// string on success, else the text that tells the user why not.
QString open(QSerialPort &port, const QString &portName);

// Whether error means the line is gone (device unplugged, driver failure).
bool isLost(QSerialPort::SerialPortError error);

// Short enough that the port and "lost" stay in view in the dialog's status line.
QString lostText(const QString &portName);

// The driver's low-latency flag (Linux: ASYNC_LOW_LATENCY): when set, received
// bytes are passed on at once instead of being collected for a few
// milliseconds, so each reply reaches the program sooner. Both return an
// empty string on success, else why not (a pseudo-terminal has no such flag).
QString readLowLatency(QSerialPort &port, bool &on);
QString writeLowLatency(QSerialPort &port, bool on);

} // namespace SerialLink

#endif // SERIALLINK_H
