#ifndef TRANSFERRESULT_H
#define TRANSFERRESULT_H

#include <QString>

// How one device's download ended, for the dialog and every record of
// kavri-flash. The last two, from reading a file at the start, are the
// dialog's only: kavri-flash holds its image in memory.
enum class TransferResult {
    Ok,
    Canceled,
    NakLimit,
    PortLost,
    TimedOut,
    Interrupted,
    OutOfStep, // the device showed it had lost the count of frames
    FirmwareUnreadable,
    FirmwareChanged,
};

constexpr int resultCount = int(TransferResult::FirmwareChanged) + 1;
// The results kavri-flash counts in its summaries: those before FirmwareUnreadable.
constexpr int flashResultCount = int(TransferResult::FirmwareUnreadable);

// For people: "Download OK", "DOWNLOAD CANCELED", "Port lost", ...; block
// is where the transfer was, for the texts that name it.
QString resultText(TransferResult result, quint32 block = 0);
// For JSON and CSV: "ok", "canceled", "port-lost", ...
QString resultWord(TransferResult result);

#endif // TRANSFERRESULT_H
