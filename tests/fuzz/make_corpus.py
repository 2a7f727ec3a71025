#!/usr/bin/env python3
"""Writes the fuzzer's seed corpus into tests/fuzz/corpus/.

Each seed is a setup byte and a stream of operations in the encoding that
fuzz_transferprotocol.cpp documents at its top; the helpers below spell them.
Run it again after changing that encoding.
"""

from pathlib import Path

RECEIVE, RUN, SYMBOLS, REPEAT, PIECES, PRESS, PRESS_REFUSED, WITHDRAW, LOSE, PAUSE, BUSY = range(11)
# Indexes into the fuzzer's table of protocol bytes, for RUN and SYMBOLS.
ETX, ACK, NAK, CAN = range(4)
# Setup bits.
NAK_LIMIT, DRIVER = 1, 2


def silence_limit(ms):
    """The setup bits of a silence limit of ms milliseconds."""
    assert ms % 4 == 0 and 0 < ms // 4 < 64
    return ms // 4 << 2


def receive(data):
    assert 1 <= len(data) <= 64
    return bytes([RECEIVE, len(data) - 1]) + data


def run(symbol, count):
    assert 1 <= count <= 64
    return bytes([RUN, (count - 1) << 2 | symbol])


def symbols(*indexes):
    assert 1 <= len(indexes) <= 64
    return bytes([SYMBOLS, len(indexes) - 1, *indexes])


def repeat(data, times):
    assert 1 <= len(data) <= 64 and 1 <= times <= 32
    return bytes([REPEAT, len(data) - 1, times - 1]) + data


def pieces(size, gap_us=0):
    """From now on the device's bytes reach the host size at a time (0: all at
    once), each piece gap_us after the one before."""
    assert 0 <= size <= 7 and gap_us % 250 == 0 and 0 <= gap_us // 250 <= 255
    return bytes([PIECES, size, gap_us // 250])


def pause(ms, us=0, busy=False):
    """Nothing comes for ms milliseconds and us microseconds, the host woken
    when it asked to be (or, if busy, only at the next operation); longer
    pauses take several operations."""
    assert 0 <= us <= 255
    op = BUSY if busy else PAUSE
    ops = b""
    while ms > 127:
        ops += bytes([op, 127, 0])
        ms -= 127
    return ops + bytes([op, ms, us])


# The line's limits a pause can be measured from, for pause_near().
QUIET, RECORD_GAP, FRAME_IN_FLIGHT, END_WATCH = range(4)


def pause_near(limit, offset_us):
    """A pause offset_us off one of the line's limits."""
    assert -4 <= offset_us <= 3
    return bytes([PAUSE, 0x80 | limit, offset_us + 4])


def press(size, content):
    blocks, rest = divmod(size, 1024)
    if rest == 0 and 1 <= blocks <= 5:
        return bytes([PRESS, 0x80 | (blocks - 1), 0, content])
    assert 0 <= size < 0x8000
    return bytes([PRESS, size >> 8, size & 0xFF, content])


def press_refused():
    return bytes([PRESS_REFUSED])


def withdraw():
    return bytes([WITHDRAW])


def lose(by_error):
    """The port reports an error (by_error), or the driver drops the line."""
    return bytes([LOSE, 1 if by_error else 0])


def identify(serial):
    """A device announcing itself after a while: ETX and 16 identity bytes in
    one burst, after longer than a download's end is watched."""
    return pause(300) + receive(b"\x03" + bytes(range(serial, serial + 16)))


def polls(count):
    """A device polling, waiting 60 ms for each answer."""
    return (pause(60) + receive(b"C")) * count


def started(size, content):
    """Two polls, Download pressed with an image, then the start byte."""
    return polls(2) + press(size, content) + polls(1)


SEEDS = {
    # Identity, polls, Download, three blocks (the last one short), EOT and
    # the watch after it.
    "full_session": bytes([0]) + identify(0x10) + started(2500, 0) + run(ACK, 4) + pause(200),
    # The same through the driver, its bytes read a few at a time, and pieces
    # split 16 ms apart as an adapter's latency timer splits a burst.
    "full_session_driver": bytes([DRIVER]) + pieces(3) + identify(0x11) + pieces(5, 16000)
    + identify(0x12) + started(2500, 1) + run(ACK, 4) + pause(200),
    # One device done, a second with another image whose first NAK must not
    # repeat a block of the earlier download, all fed byte by byte.
    "two_devices": bytes([0]) + pieces(1) + identify(0x20) + started(1024, 2) + run(ACK, 2)
    + identify(0x30) + started(4096, 3) + run(NAK, 1) + run(ACK, 5) + pause(200),
    # NAKs before the first block (noise), between blocks and after the end.
    "nak_heavy": bytes([0]) + identify(0x40) + started(3072, 0) + run(NAK, 3)
    + symbols(ACK, NAK, NAK, ACK, NAK, ACK, NAK, ACK) + run(NAK, 40) + run(ACK, 2),
    # Nine NAKs, an ACK that starts the count again, then ten: given up.
    "nak_limit": bytes([NAK_LIMIT]) + identify(0x50) + started(5000, 1) + run(ACK, 1)
    + run(NAK, 9) + run(ACK, 1) + run(NAK, 10) + run(ACK, 1),
    # A canceled download, then the device again with the same image.
    "cancel": bytes([0]) + identify(0x60) + started(5000, 2) + run(ACK, 2) + run(CAN, 1)
    + run(ACK, 1) + identify(0x61) + started(5000, 2) + run(ACK, 6) + pause(200),
    # Noise in every state, with protocol bytes among it, in one long arrival.
    "garbage": bytes([0]) + receive(bytes(range(0xF0, 0x100)) + b"\x06\x15\x18\x04\x02")
    + pause(25) + receive(b"\x03" + bytes(40)) + press(700, 3)
    + repeat(b"\xff\x00\x06\x15\x06\x99\x06\x18\x06\x03", 20) + symbols(0, 1, 2, 3, 3, 2, 1, 0),
    # Presses and a withdrawal during a transfer, which must not touch it.
    "press_during_transfer": bytes([0]) + identify(0x70) + started(2048, 0) + run(ACK, 1)
    + press(100, 1) + press_refused() + withdraw() + run(ACK, 1) + run(NAK, 1) + run(ACK, 2)
    + pause(200),
    # An image refused at the start byte, a withdrawn press, then a download.
    "refused_image": bytes([0]) + identify(0x80) + press_refused() + polls(1)
    + run(ACK, 1) + identify(0x81) + press(1, 1) + withdraw() + polls(2)
    + started(1, 1) + run(ACK, 2) + pause(200),
    # The same through the driver: an unreadable firmware file ends the download.
    "refused_image_driver": bytes([DRIVER]) + identify(0x82) + press_refused() + polls(1)
    + identify(0x83) + started(1500, 2) + run(ACK, 3) + pause(200),
    # Through the driver: the port lost mid-transfer, then dropped while a
    # device waits, then while the EOT is watched, each time a next device
    # served on the reopened port.
    "lost_line_driver": bytes([DRIVER | NAK_LIMIT]) + identify(0x90) + started(4096, 3)
    + run(ACK, 2) + lose(True) + identify(0x91) + started(3000, 0) + run(ACK, 4) + pause(200)
    + identify(0x92) + lose(False) + identify(0x93) + started(1024, 1) + run(ACK, 2)
    + lose(False) + identify(0x94),
    # The protocol reset mid-transfer and mid-identity.
    "lost_line": bytes([0]) + identify(0xA0) + started(3000, 1) + run(ACK, 2) + lose(True)
    + pause(25) + receive(b"\x03\x01\x02") + lose(False) + identify(0xA1) + started(3000, 2)
    + run(ACK, 4) + pause(200),
    # A device announcing itself again: before Download, with the start armed,
    # mid-transfer (out of step) and while the EOT is watched (OK).
    "announcing_again": bytes([0]) + identify(0xB0) + identify(0xB1) + press(10, 0)
    + identify(0xB2) + started(2048, 1) + run(ACK, 1) + pause(30) + receive(b"\x03" + bytes(16))
    + started(10, 2) + run(ACK, 2) + pause_near(QUIET, 0) + receive(b"\x03" + bytes(16)) + pause(200),
    # Bytes that are no reply: noise while the frame crosses the line, out of
    # step once it is across; a poll after the end watch; a late reply.
    "out_of_step": bytes([0]) + identify(0xC0) + started(3000, 3) + run(ACK, 1) + pause(10)
    + receive(b"CC") + run(ACK, 1) + pause_near(FRAME_IN_FLIGHT, -1) + receive(b"C")
    + run(ACK, 1) + pause_near(FRAME_IN_FLIGHT, 0) + receive(b"C") + identify(0xC1)
    + started(1500, 0) + run(ACK, 1) + pause(400) + run(ACK, 2) + pause(380) + run(ACK, 1),
    # Announcements cut off by a pause: dropped from Idle, handled as polls,
    # a start byte and replies elsewhere; the record split within the gap.
    "cut_off_records": bytes([0]) + pause(25) + receive(b"\x03" + bytes(10)) + pause(40)
    + identify(0xD0) + pause(25) + receive(b"\x03\x06") + pause(30) + press(2000, 1)
    + pause(25) + receive(b"\x03\x06\x06") + pause(31) + pause(25) + receive(b"\x03\x06\x15")
    + pause(29, 255) + receive(bytes(14)) + pause(200),
    # Through the driver, with a silence limit: silent while a device waits,
    # woken by the pause that cuts off an announcement and the end watch.
    "silence_driver": bytes([DRIVER | silence_limit(100)]) + pause(150) + identify(0xE0)
    + polls(1) + pause(150) + started(1024, 2) + run(ACK, 2) + pause(25)
    + receive(b"\x03\x01") + pause(300),
    # A host too busy to wake on time: the bytes waiting when it comes back
    # are read before the pause ends what was held, the watch or the silence.
    "late_wakeups_driver": bytes([DRIVER | silence_limit(40)]) + identify(0xE8) + started(1024, 3)
    + run(ACK, 1) + pause(30) + receive(b"\x03\x06") + pause(50, busy=True) + run(ACK, 1)
    + pause(200, busy=True) + run(ACK, 1) + identify(0xE9) + started(10, 1) + run(ACK, 2)
    + pause(200, busy=True) + receive(b"xyz") + pause(100),
}


def main():
    corpus = Path(__file__).resolve().parent / "corpus"
    corpus.mkdir(exist_ok=True)
    for stale in corpus.iterdir():
        stale.unlink()
    for name, seed in SEEDS.items():
        (corpus / name).write_bytes(seed)


if __name__ == "__main__":
    main()
