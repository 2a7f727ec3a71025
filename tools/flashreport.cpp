#include "flashreport.h"

#include "transferprotocol.h"

#include <QDateTime>

#include <cerrno>
#include <cstring>

PortLabel PortLabel::of(const PortInfo &info)
{
    const bool usb = info.vendorId != 0 || info.productId != 0;
    return {info.name, info.serialNumber,
            usb ? QString::asprintf("%04x:%04x", info.vendorId, info.productId) : QString()};
}

QString DeviceRecord::resultText(Result result)
{
    switch (result) {
    case Result::Ok:
        return TransferProtocol::outcomeText(TransferProtocol::Outcome::Completed);
    case Result::Canceled:
        return TransferProtocol::outcomeText(TransferProtocol::Outcome::Canceled);
    case Result::NakLimit:
        return TransferProtocol::outcomeText(TransferProtocol::Outcome::NakLimit);
    case Result::PortLost:
        return QStringLiteral("Port lost");
    case Result::TimedOut:
        return QStringLiteral("Timed out");
    case Result::Interrupted:
        return QStringLiteral("Interrupted");
    }
    return {};
}

QString DeviceRecord::resultWord(Result result)
{
    switch (result) {
    case Result::Ok: return QStringLiteral("ok");
    case Result::Canceled: return QStringLiteral("canceled");
    case Result::NakLimit: return QStringLiteral("nak-limit");
    case Result::PortLost: return QStringLiteral("port-lost");
    case Result::TimedOut: return QStringLiteral("timed-out");
    case Result::Interrupted: return QStringLiteral("interrupted");
    }
    return {};
}

QString eventTime()
{
    const QDateTime now = QDateTime::currentDateTime();
    return now.toOffsetFromUtc(now.offsetFromUtc()).toString(Qt::ISODateWithMs);
}

void FlashReporter::write(std::FILE *stream, const QByteArray &text)
{
    if (stream == out && outputBroken)
        return;
    errno = 0;
    if ((std::fputs(text.constData(), stream) >= 0 && std::fflush(stream) == 0) || stream != out)
        return;
    outputBroken = true;
    const int reason = errno;
    if (outputFailed)
        outputFailed(QString::fromLocal8Bit(std::strerror(reason ? reason : EPIPE)));
}
