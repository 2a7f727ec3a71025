#!/usr/bin/env python3
"""Writes the fuzzer's seed corpus into tests/fuzz/corpus/.

Each seed is a stream of operations in the encoding that
fuzz_transferprotocol.cpp documents at its top; the helpers below spell them.
Run it again after changing that encoding.
"""

from pathlib import Path

RECEIVE, RUN, SYMBOLS, DRAIN, PRESS, PRESS_FAILING, LOSE_LINK, CHOOSE = range(8)
# Indexes into the fuzzer's table of protocol bytes, for RUN and SYMBOLS.
ETX, ACK, NAK, CAN = range(4)


def receive(data):
    assert 1 <= len(data) <= 64
    return bytes([RECEIVE, len(data) - 1]) + data


def run(symbol, count):
    assert 1 <= count <= 64
    return bytes([RUN, (count - 1) << 2 | symbol])


def symbols(*indexes):
    assert 1 <= len(indexes) <= 64
    return bytes([SYMBOLS, len(indexes) - 1, *indexes])


def drain(data, repeats):
    assert 1 <= len(data) <= 64 and 1 <= repeats <= 32
    return bytes([DRAIN, len(data) - 1, repeats - 1]) + data


def press():
    return bytes([PRESS])


def press_failing():
    return bytes([PRESS_FAILING])


def lose_link():
    return bytes([LOSE_LINK])


def choose(size, seed):
    blocks, rest = divmod(size, 1024)
    if rest == 0 and 1 <= blocks <= 5:
        return bytes([CHOOSE, 0x80 | (blocks - 1), 0, seed])
    assert 1 <= size <= 5120
    return bytes([CHOOSE, (size - 1) >> 8, (size - 1) & 0xFF, seed])


def identify(serial):
    """A device announcing itself: ETX and 16 identity bytes."""
    return receive(b"\x03" + bytes(range(serial, serial + 16)))


def started():
    """Download pressed while the device polls, then its start byte."""
    return receive(b"CC") + press() + receive(b"C")


SEEDS = {
    # Identity, polls, Download, three blocks (the last one short) and EOT.
    "full_session": choose(2500, 1) + identify(0x10) + started() + run(ACK, 4),
    # NAKs before the first block (ignored), between blocks and after the end.
    "nak_heavy": choose(3072, 2) + identify(0x20) + started() + run(NAK, 3)
    + symbols(ACK, NAK, NAK, ACK, NAK, ACK, NAK, ACK) + run(NAK, 2),
    # A canceled download, then the device again with the same file.
    "cancel": choose(5000, 3) + identify(0x30) + started() + run(ACK, 2) + run(CAN, 1)
    + run(ACK, 1) + identify(0x31) + started() + run(ACK, 6),
    # Noise in every state, with protocol bytes among it.
    "garbage": receive(bytes(range(0xF0, 0x100)) + b"\x06\x15\x18\x04\x02")
    + choose(700, 4) + receive(b"\x03" + bytes(40)) + press()
    + receive(b"\xff\x00\x06\x15\x06\x99\x06\x18\x06") + symbols(0, 1, 2, 3, 3, 2, 1, 0),
    # One device done, the port lost mid-transfer with a second, then a third
    # whose first NAK must not repeat a block of the earlier downloads.
    "two_devices": choose(1024, 5) + identify(0x40) + started() + run(ACK, 2)
    + choose(4096, 6) + identify(0x50) + started() + run(ACK, 2) + lose_link()
    + identify(0x60) + started() + run(NAK, 1) + run(ACK, 5),
    # Presses that fail to open the file, before and while a start is armed.
    "failing_press": press() + choose(1, 7) + press() + identify(0x70) + press_failing()
    + receive(b"CC") + press() + press_failing() + receive(b"C") + press()
    + receive(b"C") + run(ACK, 2),
    # Presses and a new file during a transfer, which must not touch it.
    "press_during_transfer": choose(2048, 8) + identify(0x80) + started() + run(ACK, 1)
    + choose(100, 9) + press() + press_failing() + run(ACK, 1) + run(NAK, 1) + run(ACK, 1),
    # Everything through readFrom, more bytes at once than it reads in one go.
    "drained_port": choose(3000, 10) + drain(b"\x03" + bytes(range(16)), 1) + press()
    + drain(b"C", 1) + drain(b"\x06\x15\x00", 20),
}


def main():
    corpus = Path(__file__).resolve().parent / "corpus"
    corpus.mkdir(exist_ok=True)
    for name, seed in SEEDS.items():
        (corpus / name).write_bytes(seed)


if __name__ == "__main__":
    main()
