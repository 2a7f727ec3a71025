#include "flashfirmware.h"

#include "firmwarefile.h"

#include "imageenvelope.h"

#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>
#ifdef Q_OS_LINUX
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

// How often the file is looked at: a stat costs next to nothing.
constexpr int watchIntervalMs = 250;
// Where the system cannot tell whether a file is open for writing, it is
// taken only after it has stayed the same this long.
constexpr qint64 settleMs = 1000;

enum class Writers { None, Some, Unknown };

// Whether any process has the file open for writing: the system grants a
// read lease exactly when none has. Leases need the file's owner (or
// CAP_LEASE) and a file system that has them; elsewhere nobody knows.
Writers writersOf(const QString &path)
{
#ifdef Q_OS_LINUX
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return Writers::Unknown;
    const bool leased = ::fcntl(fd, F_SETLEASE, F_RDLCK) == 0;
    const int reason = errno;
    if (leased)
        ::fcntl(fd, F_SETLEASE, F_UNLCK);
    ::close(fd);
    return leased ? Writers::None : reason == EAGAIN ? Writers::Some : Writers::Unknown;
#else
    Q_UNUSED(path);
    return Writers::Unknown;
#endif
}

quint64 inodeOf(const QString &path)
{
    struct stat status{};
    return ::stat(QFile::encodeName(path).constData(), &status) == 0 ? quint64(status.st_ino) : 0;
}

} // namespace

QString cannotSendText(const QString &firmwarePath, const QString &problem)
{
    if (problem.startsWith(QLatin1String("Cannot ")))
        return problem;
    return QStringLiteral("Cannot send %1: %2").arg(firmwarePath, problem);
}

bool FlashFirmware::Stamp::operator==(const Stamp &other) const
{
    return exists == other.exists && size == other.size && modified == other.modified && changed == other.changed
        && inode == other.inode;
}

FlashFirmware::FlashFirmware(const QString &path, bool follow, FlashReporter &reporter, QObject *parent)
    : QObject(parent)
    , filePath(path)
    , follow(follow)
    , reporter(reporter)
{
    watch.setInterval(watchIntervalMs);
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
            info.fileTime(QFileDevice::FileMetadataChangeTime), inodeOf(filePath)};
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
    if (now == taken || now == refused) {
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
    QByteArray image;
    const QString problem = read(image);
    if (stamp() != now)
        return; // it moved while read: looked at anew
    if (!problem.isEmpty()) {
        // A file missing or unreadable for a second is said once; the image stays.
        if (settled(now)) {
            taken = now;
            reporter.problem({}, problem + QStringLiteral("; devices go on getting the image read before (SHA-256 %1)")
                                               .arg(current.sha256));
        }
        return;
    }
    switch (const Verdict verdict = judge(now, image)) {
    case Verdict::Whole:
        take(now, image);
        return;
    case Verdict::BeingWritten:
        return;
    case Verdict::Unknown:
        if (settled(now))
            take(now, image);
        return;
    case Verdict::RewrittenInPlace:
        refuse(now, verdict);
        return;
    case Verdict::EnvelopeFails:
        // An envelope may fail only because its writer is not done yet.
        if (settled(now))
            refuse(now, verdict);
        return;
    }
}

// Whether the file has stayed as it is for SettleMs.
bool FlashFirmware::settled(const Stamp &now)
{
    if (now != settling || !settlingFor.isValid()) {
        settling = now;
        settlingFor.start();
        return false;
    }
    return settlingFor.elapsed() >= settleMs;
}

// Whether image, read from the file as it is now, is a whole build. An
// envelope says so itself. Without one, a build is whole once it has been
// renamed over the name (another file than the one taken) and nobody has
// it open for writing; a file rewritten in place may be a half-written one.
FlashFirmware::Verdict FlashFirmware::judge(const Stamp &now, const QByteArray &image) const
{
    if (const auto header = ImageEnvelope::read(image))
        return ImageEnvelope::check(image, *header) == ImageEnvelope::Check::Ok ? Verdict::Whole : Verdict::EnvelopeFails;
    if (now.inode == 0)
        return Verdict::Unknown; // no telling one file from another here
    if (now.inode == taken.inode)
        return Verdict::RewrittenInPlace;
    switch (writersOf(filePath)) {
    case Writers::None:
        return Verdict::Whole;
    case Writers::Some:
        return Verdict::BeingWritten;
    case Writers::Unknown:
        break;
    }
    return Verdict::Unknown;
}

// The file as it is now is not taken, and is said once.
void FlashFirmware::refuse(const Stamp &now, Verdict verdict)
{
    refused = now;
    const QString why = verdict == Verdict::EnvelopeFails
        ? QStringLiteral("%1 is in an image envelope that does not check out (its length or CRC-32 is not the "
                         "application's); it is not taken").arg(filePath)
        : QStringLiteral("%1 was rewritten in place, and a file half written looks the same; it is not taken "
                         "(write a build to a temporary name, then rename it over this one)").arg(filePath);
    if (why != std::exchange(refusalSaid, why))
        reporter.problem({}, why + QStringLiteral("; devices go on getting the image read before (SHA-256 %1)")
                                       .arg(current.sha256));
}

// Devices from now on get the image; a transfer under way keeps the one it
// started with.
void FlashFirmware::take(const Stamp &now, const QByteArray &image)
{
    settlingFor.invalidate();
    taken = now;
    refusalSaid.clear();
    if (image == current.bytes)
        return;
    current = FirmwareImage::of(image);
    reporter.firmware(filePath, current);
}
