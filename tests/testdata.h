#ifndef TESTDATA_H
#define TESTDATA_H

#include <QByteArray>

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
    bytes.append((1024 - bytes.size() % 1024) % 1024, '\0');
    return bytes;
}

#endif // TESTDATA_H
