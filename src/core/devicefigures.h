#ifndef DEVICEFIGURES_H
#define DEVICEFIGURES_H

#include "transferprotocol.h"

#include <QByteArray>

// What the device on the line was given and has taken so far.
struct DeviceFigures
{
    QByteArray identity;    // its 16-byte record
    // The image it is given, from the start of its transfer: the whole of
    // it, whatever part went out. (kavri-flash's records name the image a
    // device was armed with, also where its transfer never started.)
    quint64 imageBytes = 0;
    // From the start of its transfer; all zero until that start. What was
    // acknowledged leaves out the padding of the last block, and a frame
    // refused or answered with CAN.
    quint64 sentBytes = 0;
    quint64 ackedBytes = 0;
    int ackedBlocks = 0;
    int naks = 0;           // frames resent because the device asked
    int noiseBytes = 0;     // bytes that meant nothing during the transfer
    double seconds = 0;

    // The block the transfer was at: the last one sent, 1-based.
    quint32 blocksSent() const { return TransferProtocol::blockCount(quint32(sentBytes)); }
};

#endif // DEVICEFIGURES_H
