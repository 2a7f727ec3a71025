#include "flashreport.h"

#include "transferprotocol.h"

QString DeviceRecord::resultText() const
{
    switch (result) {
    case Result::Ok:
        return TransferProtocol::outcomeText(TransferProtocol::Outcome::Completed);
    case Result::Canceled:
        return TransferProtocol::outcomeText(TransferProtocol::Outcome::Canceled);
    case Result::ReadError:
        return TransferProtocol::outcomeText(TransferProtocol::Outcome::FirmwareUnreadable);
    case Result::FirmwareChanged:
        return TransferProtocol::outcomeText(TransferProtocol::Outcome::FirmwareChanged);
    case Result::PortLost:
        return QStringLiteral("Port lost");
    case Result::TimedOut:
        return QStringLiteral("Timed out");
    case Result::Interrupted:
        return QStringLiteral("Interrupted");
    }
    return {};
}

QString DeviceRecord::resultWord() const
{
    switch (result) {
    case Result::Ok: return QStringLiteral("ok");
    case Result::Canceled: return QStringLiteral("canceled");
    case Result::PortLost: return QStringLiteral("port-lost");
    case Result::ReadError: return QStringLiteral("read-error");
    case Result::FirmwareChanged: return QStringLiteral("firmware-changed");
    case Result::TimedOut: return QStringLiteral("timed-out");
    case Result::Interrupted: return QStringLiteral("interrupted");
    }
    return {};
}
