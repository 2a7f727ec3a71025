#include "flashreport.h"

#include <QDateTime>

#include <cerrno>
#include <cstring>

PortLabel PortLabel::of(const PortInfo &info)
{
    const bool usb = info.vendorId != 0 || info.productId != 0;
    return {info.name, info.serialNumber,
            usb ? QString::asprintf("%04x:%04x", info.vendorId, info.productId) : QString()};
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
