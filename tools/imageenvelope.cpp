#include "imageenvelope.h"

#include <QtEndian>

#include <array>

namespace ImageEnvelope {

namespace {

// Where the header's fields sit, little-endian, and the bytes its own CRC-32 covers.
constexpr qsizetype MagicAt = 0, LengthAt = 4, CrcAt = 8, MajorAt = 12, MinorAt = 14, HeaderCrcAt = 16;

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
    QByteArray image(HeaderSize, '\0');
    setField<quint32>(image, MagicAt, Magic);
    setField<quint32>(image, LengthAt, quint32(application.size()));
    setField<quint32>(image, CrcAt, crc32(application));
    setField<quint16>(image, MajorAt, versionMajor);
    setField<quint16>(image, MinorAt, versionMinor);
    setField<quint32>(image, HeaderCrcAt, crc32(QByteArrayView(image).first(HeaderCrcAt)));
    return image + application.toByteArray();
}

std::optional<Header> read(QByteArrayView image)
{
    if (image.size() < HeaderSize || field<quint32>(image, MagicAt) != Magic
        || field<quint32>(image, HeaderCrcAt) != crc32(image.first(HeaderCrcAt)))
        return std::nullopt;
    return Header{field<quint32>(image, LengthAt), field<quint32>(image, CrcAt), field<quint16>(image, MajorAt),
                  field<quint16>(image, MinorAt)};
}

Check check(QByteArrayView image, const Header &header)
{
    const QByteArrayView application = image.sliced(HeaderSize);
    if (application.size() != qsizetype(header.length))
        return Check::WrongLength;
    return crc32(application) == header.crc32 ? Check::Ok : Check::WrongCrc;
}

} // namespace ImageEnvelope
