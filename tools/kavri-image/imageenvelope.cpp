#include "imageenvelope.h"

#include <QtEndian>

#include <array>

namespace ImageEnvelope {

namespace {

// Where the header's fields sit, little-endian, and the bytes its own CRC-32 covers.
constexpr qsizetype magicAt = 0, lengthAt = 4, crcAt = 8, majorAt = 12, minorAt = 14, headerCrcAt = 16;

constexpr std::array<quint32, 256> crcTable()
{
    std::array<quint32, 256> table{};
    for (quint32 byte = 0; byte < 256; ++byte) {
        quint32 crc = byte;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
        table[byte] = crc;
    }
    return table;
}

template<typename T>
T field(QByteArrayView bytes, qsizetype at)
{
    return qFromLittleEndian<T>(bytes.data() + at);
}

template<typename T>
void setField(QByteArray &bytes, qsizetype at, T value)
{
    qToLittleEndian<T>(value, bytes.data() + at);
}

} // namespace

quint32 crc32(QByteArrayView bytes)
{
    static constexpr std::array<quint32, 256> table = crcTable();
    quint32 crc = 0xFFFFFFFFu;
    for (const char byte : bytes)
        crc = table[(crc ^ quint8(byte)) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

QByteArray wrap(QByteArrayView application, quint16 versionMajor, quint16 versionMinor)
{
    QByteArray image(headerSize, '\0');
    setField<quint32>(image, magicAt, magic);
    setField<quint32>(image, lengthAt, quint32(application.size()));
    setField<quint32>(image, crcAt, crc32(application));
    setField<quint16>(image, majorAt, versionMajor);
    setField<quint16>(image, minorAt, versionMinor);
    setField<quint32>(image, headerCrcAt, crc32(QByteArrayView(image).first(headerCrcAt)));
    return image + application.toByteArray();
}

std::optional<Header> read(QByteArrayView image)
{
    if (image.size() < headerSize || field<quint32>(image, magicAt) != magic
        || field<quint32>(image, headerCrcAt) != crc32(image.first(headerCrcAt)))
        return std::nullopt;
    return Header{field<quint32>(image, lengthAt), field<quint32>(image, crcAt), field<quint16>(image, majorAt),
                  field<quint16>(image, minorAt)};
}

Check check(QByteArrayView image, const Header &header)
{
    const QByteArrayView application = image.sliced(headerSize);
    if (application.size() != qsizetype(header.length))
        return Check::WrongLength;
    return crc32(application) == header.crc32 ? Check::Ok : Check::WrongCrc;
}

} // namespace ImageEnvelope
