#ifndef FLASHJSON_H
#define FLASHJSON_H

#include "flashreport.h"

#include <QElapsedTimer>
#include <QJsonObject>
#include <QMap>

// JSON Lines on stdout for production software: one object a line, each
// with its event and time, and nothing else on stdout. Problems still go to
// stderr as text.
class FlashJson : public FlashReporter
{
public:
    explicit FlashJson(std::FILE *out = stdout, std::FILE *err = stderr);

    void firmware(const QString &path, const FirmwareImage &image) override;
    void opened(const QString &port) override;
    void identified(const QString &port, const QByteArray &identity) override;
    void progress(const QString &port, quint64 sent, quint64 total, double seconds) override;
    void deviceEnded(const DeviceRecord &record) override;
    void lost(const QString &port) override;
    void summary(const QList<PortSummary> &ports, int exitCode) override;
    void listed(const QList<PortInfo> &ports) override;
    void problem(const QString &port, const QString &text) override;
    void info(const QString &, const QString &) override {}
    void detail(const QString &, const QString &) override {}

private:
    void emitEvent(const QString &event, QJsonObject fields);
    void emitLine(const QJsonObject &object);

    QMap<QString, QElapsedTimer> sinceProgress; // port: since its last progress event
    QMap<QString, int> lastPercent;
};

#endif // FLASHJSON_H
