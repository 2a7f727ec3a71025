#include "firmwarefile.h"

namespace {

constexpr qint64 sizeLimit = qint64(1) << 32; // sizes are counted in 32 bits

QString vacantText()
{
    return QStringLiteral("File is Vacant");
}

} // namespace

QString FirmwareFile::open(const QString &fileName)
{
    file.close();
    file.setFileName(fileName);
    if (fileName.isEmpty() || !file.exists())
        return vacantText();
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("Cannot read %1: %2").arg(fileName, file.errorString());
    const qint64 bytes = file.size();
    QString problem;
    if (bytes == 0)
        problem = vacantText();
    else if (bytes >= sizeLimit)
        problem = QStringLiteral("File too large: %1 bytes (limit 4 GiB)").arg(bytes);
    if (!problem.isEmpty()) {
        file.close();
        return problem;
    }
    size = quint32(bytes);
    return {};
}

TransferResult FirmwareFile::read(QByteArray &image)
{
    image.resize(size);
    const qint64 count = file.isOpen() ? file.read(image.data(), size) : -1;
    if (count == size && file.atEnd())
        return TransferResult::Ok;
    image.clear();
    return count < 0 ? TransferResult::FirmwareUnreadable : TransferResult::FirmwareChanged;
}
