#ifndef BLOCKCHECKSUM_H
#define BLOCKCHECKSUM_H

#include <QtGlobal>

// CRC-16/XMODEM (polynomial 0x1021, initial 0, MSB first, no final XOR) over
// count bytes; a count of zero or less yields 0.
quint16 blockChecksum(const char *bytes, qint32 count);

#endif // BLOCKCHECKSUM_H
