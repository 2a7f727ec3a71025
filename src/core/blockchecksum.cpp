#include "blockchecksum.h"

#include <array>

namespace {

// Entry i is the CRC register after eight shift steps starting from i << 8.
constexpr std::array<quint16, 256> makeTable()
{
    std::array<quint16, 256> table{};
    for (int i = 0; i < 256; ++i) {
        quint16 crc = quint16(i << 8);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x8000) ? quint16((crc << 1) ^ 0x1021) : quint16(crc << 1);
        table[i] = crc;
    }
    return table;
}

constexpr std::array<quint16, 256> crcTable = makeTable();

} // namespace

quint16 blockChecksum(const char *bytes, qint32 count)
{
    quint16 crc = 0;
    for (qint32 i = 0; i < count; ++i) {
        const quint8 b = quint8(bytes[i]);
        crc = quint16((crc << 8) ^ crcTable[((crc >> 8) ^ b) & 0xFF]);
    }
    return crc;
}
