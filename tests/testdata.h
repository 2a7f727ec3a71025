#ifndef TESTDATA_H
#define TESTDATA_H

#include "blockchecksum.h"

#include <QByteArray>

// The wire as every suite spells it, written out here rather than taken from
// the code under test, so a wrong byte on either side fails.
namespace Wire {

constexpr char ETX = 0x03, STX = 0x02, EOT = 0x04, ACK = 0x06, NAK = 0x15, CAN = 0x18;
constexpr int blockSize = 1024;
constexpr int frameLength = 1 + blockSize + 2; // STX, payload, CRC high and low byte
constexpr int greetingLength = 8;          // 0x03 bytes answering an identity

// The 16-byte identity record of a device: its UID, then version 2.3.
inline QByteArray identityRecord(const QByteArray &uidHex = "0A1B2C3D4E5F6070")
{
    return QByteArray::fromHex(uidHex) + QByteArray::fromHex("0000030200000000");
}

// What a powered device sends: the start byte, then its identity record.
inline QByteArray announcement(const QByteArray &uidHex = "0A1B2C3D4E5F6070")
{
    return ETX + identityRecord(uidHex);
}

// The frame the host sends for block (0-based) of image: the tail of a
// short last block is zero.
inline QByteArray frame(const QByteArray &image, int block)
{
    QByteArray payload = image.mid(qsizetype(block) * blockSize, blockSize);
    payload.append(blockSize - payload.size(), '\0');
    const quint16 crc = blockChecksum(payload.constData(), blockSize);
    return STX + payload + char(crc >> 8) + char(crc & 0xFF);
}

} // namespace Wire

// Firmware-like bytes for the tests: no byte is zero and no two blocks are
// alike, so a block sent twice, out of place or zero-filled shows; another
// seed gives another image of the same size.
inline QByteArray patterned(int size, int seed = 0)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char((i * 7 + i / 1024 * 13 + seed * 31) % 251 + 1);
    return bytes;
}

// The bytes as a device keeps them: zero-padded to whole 1024-byte blocks.
inline QByteArray padded(QByteArray bytes)
{
    bytes.append((Wire::blockSize - bytes.size() % Wire::blockSize) % Wire::blockSize, '\0');
    return bytes;
}

#endif // TESTDATA_H
