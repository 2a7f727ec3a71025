#include "transferresult.h"

#include "transferprotocol.h"

#include <iterator>

namespace {

struct ResultNames
{
    const char *text; // for people
    const char *word; // for records
};

constexpr ResultNames names[] = {
    {"Download OK", "ok"},
    {"DOWNLOAD CANCELED", "canceled"},
    {"Gave up after %1 NAKs in a row", "nak-limit"},
    {"Port lost", "port-lost"},
    {"Timed out", "timed-out"},
    {"Interrupted", "interrupted"},
    {"Device out of step at block %1: stopped", "out-of-step"},
    {"Firmware read error: download stopped", "firmware-unreadable"},
    {"Firmware changed during download: stopped", "firmware-changed"},
};
static_assert(std::size(names) == resultCount, "a name for every result");

} // namespace

QString resultText(TransferResult result, quint32 block)
{
    const QString text = QString::fromLatin1(names[size_t(result)].text);
    switch (result) {
    case TransferResult::NakLimit:
        return text.arg(TransferProtocol::nakLimit);
    case TransferResult::OutOfStep:
        return text.arg(block);
    default:
        return text;
    }
}

QString resultWord(TransferResult result)
{
    return QString::fromLatin1(names[size_t(result)].word);
}
