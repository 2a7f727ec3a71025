#include "flashjson.h"

#include "transferprotocol.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace {

// A few progress events a second per port are plenty for a progress display.
constexpr qint64 ProgressIntervalMs = 250;

} // namespace

FlashJson::FlashJson(std::FILE *out, std::FILE *err)
    : out(out)
    , err(err)
{
}

void FlashJson::opened(const QString &port)
{
    emitEvent(QStringLiteral("opened"), port);
}

void FlashJson::identified(const QString &port, const QByteArray &identity)
{
    emitEvent(QStringLiteral("identified"), port,
              {{"uid", TransferProtocol::uidHex(identity)}, {"version", TransferProtocol::versionText(identity)}});
}

void FlashJson::progress(const QString &port, quint64 sent, quint64 total, double)
{
    const int percent = int(sent * 100 / total);
    QElapsedTimer &since = sinceProgress[port];
    const bool due = !since.isValid() || since.elapsed() >= ProgressIntervalMs || percent == 100 || sent == 0;
    if (!due || lastPercent.value(port, -1) == percent)
        return;
    since.start();
    lastPercent.insert(port, percent);
    emitEvent(QStringLiteral("progress"), port, {{"percent", percent}});
}

void FlashJson::deviceEnded(const DeviceRecord &record)
{
    lastPercent.remove(record.port);
    emitEvent(QStringLiteral("result"), record.port,
              {{"uid", TransferProtocol::uidHex(record.identity)},
               {"version", TransferProtocol::versionText(record.identity)},
               {"result", record.resultWord()},
               {"bytes", qint64(record.bytes)},
               {"blocks", record.blocks},
               {"naks", record.naks},
               {"seconds", record.seconds},
               {"sha256", record.sha256}});
}

void FlashJson::lost(const QString &port)
{
    emitEvent(QStringLiteral("lost"), port);
}

void FlashJson::summary(const QList<PortSummary> &ports, int exitCode)
{
    QJsonArray rows;
    for (const PortSummary &row : ports) {
        rows.append(QJsonObject{{"port", row.port}, {"ok", row.ok}, {"canceled", row.canceled},
                                {"lost", row.lost}, {"bytes", qint64(row.bytes)}, {"seconds", row.seconds}});
    }
    QJsonObject fields{{"ports", rows}, {"exit", exitCode}};
    fields.insert(QStringLiteral("event"), QStringLiteral("summary"));
    std::fputs(QJsonDocument(fields).toJson(QJsonDocument::Compact).append('\n').constData(), out);
    std::fflush(out);
}

void FlashJson::problem(const QString &port, const QString &text)
{
    const QString line = port.isEmpty() || text.contains(port) ? text : port + QStringLiteral(": ") + text;
    std::fputs((QStringLiteral("kavri-flash: ") + line + u'\n').toLocal8Bit().constData(), err);
    std::fflush(err);
}

void FlashJson::emitEvent(const QString &event, const QString &port, QJsonObject fields)
{
    fields.insert(QStringLiteral("event"), event);
    fields.insert(QStringLiteral("port"), port);
    std::fputs(QJsonDocument(fields).toJson(QJsonDocument::Compact).append('\n').constData(), out);
    std::fflush(out);
}
