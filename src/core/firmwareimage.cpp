#include "firmwareimage.h"

#include <QCryptographicHash>

FirmwareImage FirmwareImage::of(const QByteArray &bytes)
{
    return {bytes, QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex())};
}
