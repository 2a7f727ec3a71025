#include "flashlog.h"

#include <QDateTime>
#include <QStringList>

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
    m_file.setFileName(fileName);
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text))
        return QStringLiteral("Cannot write log %1: %2").arg(fileName, m_file.errorString());
    if (m_file.size() == 0 && m_file.write(header) < 0)
        return QStringLiteral("Cannot write log %1: %2").arg(fileName, m_file.errorString());
    m_file.flush();
    return {};
}

QString FlashLog::append(const FlashRecord &record)
{
    const QStringList fields{
        localTimeWithOffset(), record.port, record.uid, record.version, record.fileName,
        record.fileSha256, QString::number(record.bytes), QString::number(record.blocks),
        QString::number(record.naks), QString::number(record.seconds, 'f', 3), record.result,
    };
    QStringList quoted;
    for (const QString &field : fields)
        quoted.append(csvField(field));
    // Flushed at once, so a run that is stopped later keeps every line so far.
    if (m_file.write((quoted.join(u',') + u'\n').toUtf8()) < 0 || !m_file.flush())
        return QStringLiteral("Cannot write log %1: %2").arg(m_file.fileName(), m_file.errorString());
    return {};
}
