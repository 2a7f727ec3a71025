#include "flashlog.h"

#include "transferprotocol.h"

#include <QDateTime>
#include <QStringList>

#include <cerrno>
#include <fcntl.h>

namespace {

const char header[] = "time,port,uid,version,file,sha256,bytes,blocks,naks,seconds,result\n";

// A field holding a comma, quote or line break is quoted, quotes doubled.
QString csvField(QString text)
{
    if (!text.contains(u',') && !text.contains(u'"') && !text.contains(u'\n'))
        return text;
    return u'"' + text.replace(u'"', QStringLiteral("\"\"")) + u'"';
}

QString localTimeWithOffset()
{
    const QDateTime now = QDateTime::currentDateTime();
    return now.toOffsetFromUtc(now.offsetFromUtc()).toString(Qt::ISODate);
}

} // namespace

QString FlashLog::open(const QString &fileName)
{
    // Appended to by the system rather than by seeking to the end, so a pipe
    // or a device (/dev/stdout, /dev/full) is a log like any file.
    const int fd = ::open(QFile::encodeName(fileName).constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0)
        return QStringLiteral("Cannot write log %1: %2").arg(fileName, qt_error_string(errno));
    m_file.open(fd, QIODevice::WriteOnly | QIODevice::Text, QFileDevice::AutoCloseHandle);
    m_name = fileName;
    if (m_file.size() == 0 && (m_file.write(header) < 0 || !m_file.flush()))
        return failure();
    return {};
}

QString FlashLog::failure() const
{
    return QStringLiteral("Cannot write log %1: %2").arg(m_name, m_file.errorString());
}

QString FlashLog::append(const DeviceRecord &record, const QString &firmwareName)
{
    const QStringList fields{
        localTimeWithOffset(), record.port, TransferProtocol::uidHex(record.identity),
        TransferProtocol::versionText(record.identity), firmwareName, record.sha256,
        QString::number(record.bytes), QString::number(record.blocks), QString::number(record.naks),
        QString::number(record.seconds, 'f', 3), record.resultText(),
    };
    QStringList quoted;
    for (const QString &field : fields)
        quoted.append(csvField(field));
    // Flushed at once, so a run that is stopped later keeps every line so far.
    if (m_file.write((quoted.join(u',') + u'\n').toUtf8()) < 0 || !m_file.flush())
        return failure();
    return {};
}
