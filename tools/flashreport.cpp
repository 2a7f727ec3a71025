#include "flashreport.h"

#include <QDateTime>

#include <cerrno>
#include <cstring>

PortLabel PortLabel::of(const PortInfo &info)
{
    return {info.name, info.serialNumber, ::usbId(info)};
}

QString eventTime()
{
    const QDateTime now = QDateTime::currentDateTime();
    return now.toOffsetFromUtc(now.offsetFromUtc()).toString(Qt::ISODateWithMs);
}

QString FlashReporter::withPort(const QString &port, const QString &text)
{
    if (port.isEmpty() || text.contains(port))
        return text;
    return port + QStringLiteral(": ") + text;
}

QString FlashReporter::problemLine(const QString &text)
{
    return QStringLiteral("kavri-flash: ") + text;
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
