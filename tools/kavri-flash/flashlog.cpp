#include "flashlog.h"

#include "deviceidentity.h"

#include <QFile>
#include <QStringList>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#ifdef Q_OS_WIN
#include <io.h>
#endif

namespace {

#ifdef Q_OS_WIN
// Bytes as they are (no CRLF translation, which would change the sizes the
// row's take-back relies on), and not inherited by child processes.
constexpr int openFlags = _O_BINARY | _O_NOINHERIT;

ssize_t pread(int fd, void *buffer, size_t count, off_t offset)
{
    // Writes append whatever the position, so moving it costs nothing.
    if (_lseeki64(fd, offset, SEEK_SET) < 0)
        return -1;
    return _read(fd, buffer, unsigned(count));
}
#else
constexpr int openFlags = O_CLOEXEC;
#endif

const QByteArray header = "time,port,serial,usb,uid,version,file,image_bytes,image_sha256,"
                          "acked_bytes,acked_blocks,naks,seconds,result\n";

// A field holding a comma, quote or line break is quoted, quotes doubled.
QString csvField(QString text)
{
    if (!text.contains(u',') && !text.contains(u'"') && !text.contains(u'\n'))
        return text;
    return u'"' + text.replace(u'"', QStringLiteral("\"\"")) + u'"';
}

QString systemReason(int error)
{
    return qt_error_string(error);
}

} // namespace

FlashLog::~FlashLog()
{
    if (fd >= 0)
        ::close(fd);
}

QString FlashLog::reopen()
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
    regularFile = false;
    return open(name);
}

QString FlashLog::open(const QString &fileName)
{
    name = fileName;
    // Appended to by the system rather than by seeking to the end, so a pipe
    // or a device (/dev/stdout, /dev/full) is a log like any file.
    fd = ::open(QFile::encodeName(fileName).constData(), O_RDWR | O_APPEND | O_CREAT | openFlags, 0666);
    if (fd < 0) {
        // The first refusal says why (a folder that cannot be written); the
        // second only that there is no file to fall back on.
        const int reason = errno;
        fd = ::open(QFile::encodeName(fileName).constData(), O_WRONLY | O_APPEND | openFlags);
        if (fd < 0)
            return problem(systemReason(reason));
    }
    struct stat status{};
    if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode)) {
        regularFile = true;
        device = quint64(status.st_dev);
        inode = quint64(status.st_ino);
        if (status.st_size > 0)
            return checkHeader();
    }
    if (!writeWhole(header))
        return problem(systemReason(errno));
    return {};
}

// Rows go on under the header the file has, so its columns must be these;
// and a file cut off mid-row by an earlier failure gets its line ended, so
// the next row does not merge with it.
QString FlashLog::checkHeader()
{
    QByteArray first(header.size(), '\0');
    const ssize_t count = pread(fd, first.data(), size_t(first.size()), 0);
    if (count < 0)
        return {}; // opened write-only: rows are appended as they are
    if (first != header)
        return problem(QStringLiteral("its columns are not this version's (%1); name a new file")
                           .arg(QString::fromUtf8(header).trimmed()));
    struct stat status{};
    char last = '\n';
    if (::fstat(fd, &status) == 0 && pread(fd, &last, 1, status.st_size - 1) == 1 && last != '\n'
        && !writeWhole("\n")) {
        return problem(systemReason(errno));
    }
    return {};
}

// A log cut to nothing under the run (logrotate's copytruncate) starts
// again with its header.
QString FlashLog::headerIfEmpty()
{
    struct stat status{};
    if (!regularFile || ::fstat(fd, &status) != 0 || status.st_size > 0 || writeWhole(header))
        return {};
    return systemReason(errno);
}

QString FlashLog::problem(const QString &reason) const
{
    return QStringLiteral("Cannot write log %1: %2").arg(name, reason);
}

// Whether the name still leads to the file open: a log moved away, removed
// or replaced is opened again by its name before the next row.
bool FlashLog::stillNamed() const
{
    if (!regularFile)
        return true;
    struct stat status{};
    return ::stat(QFile::encodeName(name).constData(), &status) == 0 && quint64(status.st_dev) == device
        && quint64(status.st_ino) == inode;
}

// Writes row whole or, when the disk fills up on the way, takes back what
// went in; errno says why on failure.
bool FlashLog::writeWhole(const QByteArray &row)
{
    struct stat status{};
    const bool sized = regularFile && ::fstat(fd, &status) == 0;
    qsizetype written = 0;
    while (written < row.size()) {
        const ssize_t count = ::write(fd, row.constData() + written, size_t(row.size() - written));
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0) {
            const int reason = count < 0 ? errno : ENOSPC;
            if (written > 0 && sized) {
                [[maybe_unused]] const int ignored = ::ftruncate(fd, status.st_size);
            }
            errno = reason;
            return false;
        }
        written += count;
    }
    return true;
}

QString FlashLog::append(const DeviceRecord &record, const QString &firmwareName)
{
    const QString board = QStringLiteral("the row of %1 UID %2 (%3) is lost")
                              .arg(record.port.name, DeviceIdentity(record.identity).uidHex(), resultText(record.result, record.blocksSent()));
    if (fd < 0 || !stillNamed()) {
        if (const QString reopened = reopen(); !reopened.isEmpty())
            return reopened + QStringLiteral("; ") + board;
    }
    if (const QString reason = headerIfEmpty(); !reason.isEmpty())
        return problem(reason + QStringLiteral("; ") + board);
    const QStringList fields{
        eventTime(), record.port.name, record.port.serialNumber, record.port.usbId,
        DeviceIdentity(record.identity).uidHex(), DeviceIdentity(record.identity).versionText(), firmwareName,
        QString::number(record.imageBytes), record.imageSha256, QString::number(record.ackedBytes),
        QString::number(record.ackedBlocks), QString::number(record.naks),
        QString::number(record.seconds, 'f', 3), resultWord(record.result),
    };
    QStringList quoted;
    for (const QString &field : fields)
        quoted.append(csvField(field));
    // Written at once, so a run that is stopped later keeps every row so far.
    if (!writeWhole((quoted.join(u',') + u'\n').toUtf8()))
        return problem(systemReason(errno) + QStringLiteral("; ") + board);
    return {};
}
