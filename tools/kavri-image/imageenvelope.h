#ifndef IMAGEENVELOPE_H
#define IMAGEENVELOPE_H

#include <QByteArray>
#include <QByteArrayView>

#include <optional>

// The image envelope a device can check (README, "Image envelope"): block 1
// of the image is a header with the application's length, CRC-32 and
// version; the application follows from block 2 on. The host sends the
// enveloped file as it sends any other: only the device and kavri-image
// read the header.
namespace ImageEnvelope {

constexpr qsizetype headerSize = 1024;
constexpr quint32 magic = 0x3146564B; // "KVF1" as the first four bytes

struct Header
{
    quint32 length = 0;       // of the application, in bytes
    quint32 crc32 = 0;        // of the application
    quint16 versionMajor = 0;
    quint16 versionMinor = 0;
};

// CRC-32 as zlib computes it: reflected polynomial 0xEDB88320, initial
// value and final XOR 0xFFFFFFFF.
quint32 crc32(QByteArrayView bytes);

// The application in its envelope: the header block, then the application.
// The application must not be empty and fits in 4 GiB less the header.
QByteArray wrap(QByteArrayView application, quint16 versionMajor, quint16 versionMinor);

// The header an image starts with; nullopt when it has none (too short, no
// magic, or a header whose own CRC-32 does not match).
std::optional<Header> read(QByteArrayView image);

enum class Check { Ok, WrongLength, WrongCrc };

// Whether what follows the header is the application the header describes.
Check check(QByteArrayView image, const Header &header);

} // namespace ImageEnvelope

#endif // IMAGEENVELOPE_H
