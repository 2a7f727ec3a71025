#!/usr/bin/env python3
"""scripts/line-soak [--transfers N] [--jobs J] [--seed S] [--board BOARD] [--build DIR]

Flashes one device N times (default 2000) through damaged-line, each time with one random fault
on the line: a stray, lost or flipped byte either way, the port opened mid-announcement, the
device announcing again, a board swapped mid-transfer. The device is kavri-devsim at 115200 baud,
or with --board the reference firmware on that qemu board (lm3s6965evb, microbit). It prints, for each end,
how many transfers ended OK with the image, how many failed honestly, and how many ended OK with
a wrong image, which must be 0; exit status 1 if any did. Needs a build (scripts/test makes one).
"""

import argparse
import concurrent.futures
import json
import os
import random
import re
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BLOCK = 1024
UID = "0A06182D4E5F6071"  # an ACK and a CAN in the record


def image_bytes():
    # Five blocks, the last partial; block 2 starts with 0x04, as an EOT would.
    data = bytearray(((i * 7 + i // BLOCK * 13) % 251 + 1) for i in range(4 * BLOCK + 300))
    data[BLOCK] = 0x04
    return bytes(data)


def padded(data):
    return data + bytes((BLOCK - len(data) % BLOCK) % BLOCK)


def random_fault(rng):
    frame = rng.randint(1, 5)
    reply = rng.randint(1, 6)
    stray = rng.choice([0x02, 0x03, 0x04, 0x06, 0x15, 0x18, ord("C"), rng.randint(0, 255)])
    return rng.choice([
        f"stray-to-device:{stray:02x}:{frame}",
        f"drop-stx:{frame}",
        f"flip-to-device:{rng.randint(0, 7)}:{rng.randint(0, 1026)}:{frame}",
        f"stray-to-host:{stray:02x}:{reply}",
        f"flip-to-host:{rng.randint(0, 7)}:{reply}",
        f"cut:{rng.randint(1, 16)}",
        "announce-again",
        f"swap:{frame}",
    ])


def start_line(program, args):
    """Starts a program that prints a path first; returns (process, path)."""
    process = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    return process, process.stdout.readline().strip()


def start_simulator(build, stored):
    return start_line("kavri-devsim", [f"{build}/tools/kavri-devsim", "--pty", "--baud", "115200", "--uid", UID,
                                       "--device-version", "2.3", "--idle-timeout", "1.5", "--out", stored])


def start_board(build, board, stored):
    firmware = f"{build}/firmware/kavri-firmware-{board}-48blocks.elf"
    process = subprocess.Popen(
        ["qemu-system-arm", "-M", board, "-nographic", "-monitor", "none", "-serial", "pty",
         "-semihosting-config", "enable=on,target=native", "-kernel", firmware, "-append", f"out={stored}"],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    for line in process.stdout:
        match = re.search(r"redirected to (/dev/pts/\d+)", line)
        if match:
            return process, match.group(1)
    return process, ""


def finish(process, outcome, otherwise=None):
    """What outcome() says of a process that ends; otherwise once it had to be killed."""
    try:
        return outcome()
    except subprocess.TimeoutExpired:
        process.kill()
        process.communicate()
        return otherwise


def device_completed(args, process):
    """Whether the device took the download for complete."""
    out, err = process.communicate(timeout=20)
    if args.board:
        return process.returncode == 0
    return re.search(r"^Device 1 UID \w+: completed,", out, re.MULTILINE) is not None


def one_transfer(args, number):
    rng = random.Random(args.seed * 1_000_003 + number)
    fault = random_fault(rng)
    with tempfile.TemporaryDirectory() as work:
        image_path = os.path.join(work, "image.kvf")
        stored = os.path.join(work, "stored.bin")
        with open(image_path, "wb") as file:
            file.write(image_bytes())
        device, device_path = (start_board(args.build, args.board, stored) if args.board
                               else start_simulator(args.build, stored))
        line, host_path = start_line("damaged-line", [f"{args.build}/tests/damaged-line", device_path, fault])
        flash = subprocess.run([f"{args.build}/tools/kavri-flash", "--port", host_path, "--devices", "1",
                                "--timeout", "3", "--json", image_path],
                               capture_output=True, text=True, timeout=60)
        finish(line, lambda: line.communicate(timeout=20))
        completed = finish(device, lambda: device_completed(args, device), False)
        results = [json.loads(text)["result"] for text in flash.stdout.splitlines()
                   if json.loads(text).get("event") == "result"]
        stored_bytes = open(stored, "rb").read() if os.path.exists(stored) else b""
        # A board writes out its whole storage, the simulator what it kept.
        expected = padded(image_bytes())
        exact = stored_bytes[:len(expected)] == expected if args.board else stored_bytes == expected
    host_ok = results[:1] == ["ok"]
    return fault, host_ok, completed, exact, results


def verdict(ok, exact):
    return "ok" if ok and exact else "wrong" if ok else "failed"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--transfers", type=int, default=2000)
    parser.add_argument("--jobs", type=int, default=4)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--board", help="the qemu board whose reference firmware to flash")
    parser.add_argument("--build", default=os.path.join(ROOT, "build"))
    args = parser.parse_args()

    counts = {end: {"ok": 0, "failed": 0, "wrong": 0} for end in ("host", "device")}
    wrong = []
    started = time.monotonic()
    with concurrent.futures.ThreadPoolExecutor(args.jobs) as pool:
        for fault, host_ok, completed, exact, results in pool.map(lambda n: one_transfer(args, n),
                                                                  range(args.transfers)):
            for end, ok in (("host", host_ok), ("device", completed)):
                counts[end][verdict(ok, exact)] += 1
                if ok and not exact:
                    wrong.append(f"{end}: {fault} {results}")
    device = f"the reference firmware on qemu's {args.board}" if args.board else "kavri-devsim"
    print(f"{args.transfers} transfers to {device}, one random fault each, "
          f"in {time.monotonic() - started:.0f} s (seed {args.seed})")
    for end, figures in counts.items():
        print(f"  {end:6}: {figures['ok']} OK with the image, {figures['failed']} failed honestly, "
              f"{figures['wrong']} OK with a wrong image")
    for line in wrong[:20]:
        print(f"  WRONG {line}")
    print("LINE SOAK OK" if not wrong else "LINE SOAK FAILED")
    return 1 if wrong else 0


if __name__ == "__main__":
    sys.exit(main())
