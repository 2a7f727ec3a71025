#ifndef FIRMWAREIMAGE_H
#define FIRMWAREIMAGE_H

#include <QByteArray>
#include <QString>

// An image as records name it: its bytes and their SHA-256 (hex), worked out
// once when the image is made, so every device given it shares the one hash.
struct FirmwareImage
{
    QByteArray bytes;
    QString sha256;

    static FirmwareImage of(const QByteArray &bytes);
};

#endif // FIRMWAREIMAGE_H
