#include "flashjson.h"

#include "deviceidentity.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace {

// A few progress events a second per port are plenty for a progress display.
constexpr qint64 progressIntervalMs = 250;

QJsonObject portFields(const PortLabel &port)
{
    return {{"port", port.name}, {"serial", port.serialNumber}, {"usb", port.usbId}};
}

// The counts by result word, a key for every word: a zero is a zero, not a gap.
void addResultCounts(QJsonObject &object, const PortSummary &row)
{
    for (int i = 0; i < flashResultCount; ++i)
        object.insert(resultWord(TransferResult(i)), row.results[size_t(i)]);
}

} // namespace

FlashJson::FlashJson(std::FILE *out, std::FILE *err)
    : FlashReporter(out, err)
{
}

void FlashJson::firmware(const QString &path, const FirmwareImage &image)
{
    emitEvent(QStringLiteral("firmware"),
              {{"file", path}, {"bytes", image.bytes.size()}, {"sha256", image.sha256}});
}

void FlashJson::opened(const QString &port)
{
    emitEvent(QStringLiteral("opened"), {{"port", port}});
}

void FlashJson::identified(const QString &port, const QByteArray &identity)
{
    emitEvent(QStringLiteral("identified"), {{"port", port},
                                             {"uid", DeviceIdentity(identity).uidHex()},
                                             {"version", DeviceIdentity(identity).versionText()}});
}

void FlashJson::progress(const QString &port, quint64 sent, quint64 total, double)
{
    const int percent = int(sent * 100 / total);
    QElapsedTimer &since = sinceProgress[port];
    const bool due = !since.isValid() || since.elapsed() >= progressIntervalMs || percent == 100 || sent == 0;
    if (!due || lastPercent.value(port, -1) == percent)
        return;
    since.start();
    lastPercent.insert(port, percent);
    emitEvent(QStringLiteral("progress"), {{"port", port}, {"percent", percent}});
}

void FlashJson::deviceEnded(const DeviceRecord &record)
{
    lastPercent.remove(record.port.name);
    QJsonObject fields = portFields(record.port);
    fields.insert("uid", DeviceIdentity(record.identity).uidHex());
    fields.insert("version", DeviceIdentity(record.identity).versionText());
    fields.insert("result", resultWord(record.result));
    fields.insert("image_bytes", qint64(record.imageBytes));
    fields.insert("image_sha256", record.imageSha256);
    fields.insert("acked_bytes", qint64(record.ackedBytes));
    fields.insert("acked_blocks", record.ackedBlocks);
    fields.insert("naks", record.naks);
    fields.insert("noise_bytes", record.noiseBytes);
    fields.insert("seconds", record.seconds);
    emitEvent(QStringLiteral("result"), fields);
}

void FlashJson::lost(const QString &port)
{
    emitEvent(QStringLiteral("lost"), {{"port", port}});
}

void FlashJson::summary(const QList<PortSummary> &ports, int exitCode)
{
    QJsonArray rows;
    for (const PortSummary &row : ports) {
        QJsonObject fields = portFields(row.port);
        addResultCounts(fields, row);
        fields.insert("acked_bytes", qint64(row.ackedBytes));
        fields.insert("seconds", row.seconds);
        rows.append(fields);
    }
    emitEvent(QStringLiteral("summary"), {{"ports", rows}, {"exit", exitCode}});
}

void FlashJson::listed(const QList<PortInfo> &ports)
{
    for (const PortInfo &info : ports) {
        QJsonObject fields = portFields(PortLabel::of(info));
        fields.insert("description", info.description);
        fields.insert("manufacturer", info.manufacturer);
        emitLine(fields);
    }
}

void FlashJson::problem(const QString &port, const QString &text)
{
    write(err, (problemLine(withPort(port, text)) + u'\n').toLocal8Bit());
}

void FlashJson::emitEvent(const QString &event, QJsonObject fields)
{
    fields.insert(QStringLiteral("event"), event);
    fields.insert(QStringLiteral("time"), eventTime());
    emitLine(fields);
}

void FlashJson::emitLine(const QJsonObject &object)
{
    write(out, QJsonDocument(object).toJson(QJsonDocument::Compact).append('\n'));
}
