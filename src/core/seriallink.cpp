#include "seriallink.h"

#include "portinfo.h"

#ifdef Q_OS_LINUX
#include <cerrno>
#include <linux/serial.h>
#include <sys/ioctl.h>
#endif
#ifdef Q_OS_UNIX
#include <sys/file.h>
#endif

namespace SerialLink {

static QString openFailureText(const QSerialPort &port, const QString &path)
{
    QString text = QStringLiteral("Cannot open %1: %2").arg(path, port.errorString());
#ifdef Q_OS_LINUX
    if (port.error() == QSerialPort::PermissionError)
        text += QStringLiteral(" (port busy, or the user is not in the dialout group)");
#endif
    return text;
}

// QSerialPort's lock file is named after the path it was given, so a port
// opened under two names (a by-id link and its tty) would have two owners.
// A lock on the open device itself holds whatever name led to it; it is
// taken before the line is set up, and goes with the descriptor.
static bool lockDevice(QSerialPort &port)
{
#ifdef Q_OS_UNIX
    return ::flock(int(port.handle()), LOCK_EX | LOCK_NB) == 0;
#else
    Q_UNUSED(port);
    return true; // Windows opens a COM port for one handle only
#endif
}

QString open(QSerialPort &port, const QString &portName)
{
    if (port.isOpen())
        port.close();
    if (portName.isEmpty())
        return QStringLiteral("No serial port to open");
    const QString path = portPath(portName);
    port.setPortName(path);
    if (!port.open(QIODevice::ReadWrite))
        return openFailureText(port, path);
    if (!lockDevice(port)) {
        port.close();
        return QStringLiteral("Cannot open %1: port busy (another program has it open)").arg(path);
    }
    const bool configured = port.setBaudRate(QSerialPort::Baud115200)
        && port.setFlowControl(QSerialPort::NoFlowControl)
        && port.setParity(QSerialPort::NoParity)
        && port.setDataBits(QSerialPort::Data8)
        && port.setStopBits(QSerialPort::OneStop);
    if (!configured) {
        const QString text = QStringLiteral("Cannot set up %1: %2").arg(path, port.errorString());
        port.close();
        return text;
    }
    return {};
}

bool isLost(QSerialPort::SerialPortError error)
{
    switch (error) {
    case QSerialPort::ResourceError:
    case QSerialPort::ReadError:
    case QSerialPort::WriteError:
    case QSerialPort::UnknownError:
        return true;
    default:
        return false;
    }
}

QString lostText(const QString &portName)
{
    // The error text of a vanished line is whatever errno last held; it says nothing useful.
    return QStringLiteral("Port %1 lost (unplugged?)").arg(portName);
}

#ifdef Q_OS_LINUX
static QString serialSettings(QSerialPort &port, serial_struct &settings)
{
    return ::ioctl(int(port.handle()), TIOCGSERIAL, &settings) == 0 ? QString() : qt_error_string(errno);
}
#endif

QString readLowLatency(QSerialPort &port, bool &on)
{
#ifdef Q_OS_LINUX
    serial_struct settings{};
    const QString problem = serialSettings(port, settings);
    on = settings.flags & ASYNC_LOW_LATENCY;
    return problem;
#else
    Q_UNUSED(port);
    Q_UNUSED(on);
    return QStringLiteral("not supported on this system");
#endif
}

QString writeLowLatency(QSerialPort &port, bool on)
{
#ifdef Q_OS_LINUX
    serial_struct settings{};
    if (const QString problem = serialSettings(port, settings); !problem.isEmpty())
        return problem;
    settings.flags = on ? settings.flags | ASYNC_LOW_LATENCY : settings.flags & ~ASYNC_LOW_LATENCY;
    return ::ioctl(int(port.handle()), TIOCSSERIAL, &settings) == 0 ? QString() : qt_error_string(errno);
#else
    Q_UNUSED(port);
    Q_UNUSED(on);
    return QStringLiteral("not supported on this system");
#endif
}

} // namespace SerialLink
