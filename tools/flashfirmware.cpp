#include "flashfirmware.h"

#include "firmwarefile.h"

#include <QFile>
#include <QFileInfo>

namespace {

// How often the file is looked at: a stat costs next to nothing.
constexpr int WatchIntervalMs = 250;
// A rebuilt file is taken only after it has stayed the same this long, so a
// copy still under way is never flashed.
constexpr qint64 SettleMs = 1000;

} // namespace

QString cannotSendText(const QString &firmwarePath, const QString &problem)
{
    if (problem.startsWith(QLatin1String("Cannot ")))
        return problem;
    return QStringLiteral("Cannot send %1: %2").arg(firmwarePath, problem);
}

bool FlashFirmware::Stamp::operator==(const Stamp &other) const
{
    return exists == other.exists && size == other.size && modified == other.modified && changed == other.changed;
}

FlashFirmware::FlashFirmware(const QString &path, bool follow, FlashReporter &reporter, QObject *parent)
    : QObject(parent)
    , filePath(path)
    , follow(follow)
    , reporter(reporter)
{
    watch.setInterval(WatchIntervalMs);
    connect(&watch, &QTimer::timeout, this, &FlashFirmware::check);
}

QString FlashFirmware::load()
{
    taken = stamp();
    QByteArray image;
    const QString problem = read(image);
    if (!problem.isEmpty())
        return problem;
    current = FirmwareImage::of(image);
    reporter.firmware(filePath, current);
    watch.start();
    return {};
}

FlashFirmware::Stamp FlashFirmware::stamp() const
{
    QFileInfo info(filePath);
    info.setCaching(false);
    if (!info.exists())
        return {};
    return {true, info.size(), info.fileTime(QFileDevice::FileModificationTime),
            info.fileTime(QFileDevice::FileMetadataChangeTime)};
}

// The whole file, or why not. A missing or empty file is said by its name
// and the reason ("File is Vacant" is the dialog's).
QString FlashFirmware::read(QByteArray &image) const
{
    const QFileInfo info(filePath);
    if (!info.exists())
        return QStringLiteral("Cannot read %1: %2").arg(filePath, qt_error_string(ENOENT));
    if (info.isFile() && info.size() == 0)
        return QStringLiteral("%1 is empty (0 bytes)").arg(filePath);
    FirmwareFile file;
    const QString problem = file.open(filePath);
    if (!problem.isEmpty())
        return cannotSendText(filePath, problem);
    if (file.read(image) != TransferResult::Ok)
        return QStringLiteral("Cannot read %1: it changed while being read").arg(filePath);
    return {};
}

void FlashFirmware::check()
{
    const Stamp now = stamp();
    if (now == taken) {
        settling = {};
        return;
    }
    if (!follow) {
        reporter.problem({}, QStringLiteral("%1 changed on disk; this run goes on sending the image it read at the "
                                            "start (SHA-256 %2)")
                                 .arg(filePath, current.sha256));
        watch.stop(); // said once
        return;
    }
    if (now != settling || !settlingFor.isValid()) {
        settling = now;
        settlingFor.start();
        return;
    }
    if (settlingFor.elapsed() >= SettleMs)
        take(now);
}

// Takes the file that has stopped changing, unless it changed while read.
// A file that cannot be sent is said once and leaves the image as it was:
// the transfers under way and the devices to come are not held up by it.
void FlashFirmware::take(const Stamp &settled)
{
    settlingFor.invalidate();
    QByteArray image;
    const QString problem = read(image);
    if (stamp() != settled)
        return; // it moved again: wait for it to settle anew
    taken = settled;
    if (!problem.isEmpty()) {
        reporter.problem({}, problem + QStringLiteral("; devices go on getting the image read before (SHA-256 %1)")
                                           .arg(current.sha256));
        return;
    }
    if (image == current.bytes)
        return;
    // Devices from now on get it; a transfer under way keeps the image it started with.
    current = FirmwareImage::of(image);
    reporter.firmware(filePath, current);
}
