#include "flashreport.h"

#include <QDateTime>

#include <cerrno>
#include <cstring>

PortLabel PortLabel::of(const PortInfo &info)
{
    return {info.name, info.serialNumber, ::usbId(info)};
}

// The local offset from UTC is looked up once a minute, not for every event:
// the lookup reads the system's zone files, and offsets change only on a
// minute's turn.
QString eventTime()
{
    static qint64 offsetMinute = -1;
    static int offsetSeconds = 0;
    const QDateTime now = QDateTime::currentDateTimeUtc();
    if (const qint64 minute = now.toSecsSinceEpoch() / 60; minute != offsetMinute) {
        offsetMinute = minute;
        offsetSeconds = now.toLocalTime().offsetFromUtc();
    }
    return now.toOffsetFromUtc(offsetSeconds).toString(Qt::ISODateWithMs);
}

void FlashReporter::writeInBackground(qsizetype limitBytes)
{
    background = std::make_unique<FlashOutput>([this](std::FILE *stream, int error) {
        if (stream == out)
            outputLost(QStringLiteral("Standard output closed (%1)").arg(QString::fromLocal8Bit(std::strerror(error ? error : EPIPE))));
    }, limitBytes);
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
    if (background) {
        // What cannot wait for stderr's reader is left out; stdout's is a lost record.
        if (!background->push(stream, text) && stream == out) {
            outputLost(QStringLiteral("Standard output's reader fell too far behind (%1 bytes unread)")
                           .arg(background->limit()));
        }
        return;
    }
    errno = 0;
    if ((std::fputs(text.constData(), stream) >= 0 && std::fflush(stream) == 0) || stream != out)
        return;
    const int reason = errno;
    outputLost(QStringLiteral("Standard output closed (%1)").arg(QString::fromLocal8Bit(std::strerror(reason ? reason : EPIPE))));
}

void FlashReporter::outputLost(const QString &problem)
{
    if (outputBroken.exchange(true))
        return;
    if (outputFailed)
        outputFailed(problem);
}
