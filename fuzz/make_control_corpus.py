#!/usr/bin/env python3
"""Writes the seed corpora of zhp_control_fuzz (fuzz/corpus/control/) and
zhp_session_fuzz (fuzz/corpus/session/).

One seed per command number (100..215 and unlisted ones) with the words that
command reads, and a few scenarios: a fall with held I/O released by 106, a
power cycle followed by a query, report-only mode, a command in flight during
removal, a cancelled transfer, paging files, a hung bus, short buffers and two
callers at once. The encoding is the one control_program.h describes.

The session seeds are the same commands without the scheduler header, and
the utility's sequences (protection on, a fall while on, off again) in the
session target's operations (session_fuzz.cpp).
"""
import os
import struct
import sys

COMMAND, COMMAND_ASYNC, RUN, PIN_ON, PIN_OFF, CANCEL, POWER, REMOVE, DISK_IO, PAGING, FAULT, OPEN_CLOSE = range(12)


def word_operand(value):
    return bytes([value]) if value < 0x80 else b"\x80" + struct.pack("<I", value)


def command(number, words=(), shape=0, lengths=None, op=COMMAND):
    out = bytes([op, 0x80]) + struct.pack("<I", number) + bytes([len(words)])
    for offset, value in words:
        out += bytes([offset // 4]) + word_operand(value)
    out += bytes([shape])
    if shape & 3 == 3:
        out += bytes(lengths)
    return out


def run_ms(ms):
    if ms <= 128:
        return bytes([RUN, ms - 1])
    return bytes([RUN, 0x80 | (ms // 100)])


def header(seed=1, preempt=10):
    return bytes([seed, preempt])


SETTINGS = [(16, 0x26), (24, 0x10), (36, 1)]
WORDS = {
    100: [(40, 0x2152), (64, 2)],
    101: [(16, 0x0F), (64, 6)],
    102: [(16, 0x26), (24, 0x10), (32, 3), (36, 1)],
}

UNLISTED = [0, 99, 103, 104, 105, 108, 109, 112, 199, 216, 0xFFFFFFFF]


def seeds():
    for number in list(range(100, 216)) + UNLISTED:
        words = WORDS.get(number, SETTINGS if number in (110, 111) or number >= 200 else [])
        yield "cmd_%d" % number, header() + command(number, words) + run_ms(10)

    on = command(102, WORDS[102])
    yield "fall_release", (header(2) + on + bytes([PIN_ON]) + run_ms(1000) + bytes([DISK_IO, 0, 1, DISK_IO, 1, 2]) +
                           bytes([PIN_OFF]) + run_ms(100) + command(106) + run_ms(100))
    yield "fall_timer", header(3) + on + bytes([PIN_ON]) + run_ms(1000) + bytes([DISK_IO, 0, 5, PIN_OFF]) + run_ms(4000)
    yield "power_query", (header(4) + on + bytes([POWER, 3, POWER, 0]) +
                          command(107, [(16, 0x11), (20, 0x02), (24, 0x33), (28, 0x04)]) + command(107))
    yield "power_d2", header(5) + bytes([POWER, 3, POWER, 2, POWER, 1, POWER, 6]) + command(107)
    yield "report_only", header(6) + command(212, SETTINGS) + command(101, WORDS[101]) + command(110) + command(101, WORDS[101])
    yield "removal_in_flight", header(7) + command(200, SETTINGS, op=COMMAND_ASYNC) + run_ms(2) + bytes([REMOVE]) + command(107)
    yield "removal_held", header(8) + on + bytes([PIN_ON]) + run_ms(1000) + bytes([DISK_IO, 0, 1, DISK_IO, 1, 3, REMOVE])
    yield "cancel_transfer", header(9) + command(101, [(16, 0x20), (64, 24)]) + run_ms(2) + bytes([CANCEL, 0]) + run_ms(10)
    yield "paging", header(10) + bytes([PAGING, 1, PAGING, 1, PAGING, 0, PAGING, 0])
    yield "bus_hung", header(11) + bytes([FAULT, 0]) + command(101, WORDS[101]) + command(200, SETTINGS) + bytes([FAULT, 0])
    yield "registry_fails", header(12) + bytes([FAULT, 2]) + command(111, SETTINGS) + command(200, SETTINGS)
    yield "short_buffers", (header(13) + command(102, WORDS[102], shape=1) + command(102, WORDS[102], shape=2) +
                            command(107, shape=3, lengths=[0, 0]) + command(107, shape=3, lengths=[100, 120]))
    yield "other_code", header(14) + command(102, WORDS[102], shape=4) + command(107, shape=8) + command(102, WORDS[102], shape=12)
    yield "two_callers", (header(15, 50) + command(101, WORDS[101], op=COMMAND_ASYNC) +
                          command(101, WORDS[101], op=COMMAND_ASYNC) + run_ms(50))
    yield "open_close", header(16) + bytes([OPEN_CLOSE]) + command(107) + bytes([OPEN_CLOSE])


S_PIN_ON, S_PIN_OFF, S_RUN, S_OPEN_CLOSE = 4, 5, 6, 7


def session_run_ms(ms):
    return bytes([S_RUN, min(ms, 64) - 1])


def session_seeds():
    for number in list(range(100, 216)) + UNLISTED:
        words = WORDS.get(number, SETTINGS if number in (110, 111) or number >= 200 else [])
        yield "cmd_%d" % number, command(number, words)
    on = (command(107) + command(102, WORDS[102]) + command(106) + command(203) + command(111, SETTINGS) +
          command(111, SETTINGS))
    off = command(102, [(36, 0)]) + command(106) + command(204) + command(111) + command(111)
    yield "protection_on_off", on + off
    yield "fall_while_on", on + bytes([S_PIN_ON]) + session_run_ms(64) + command(107) + bytes([S_PIN_OFF]) + \
        session_run_ms(64) + command(106)
    yield "short_buffers", (command(102, WORDS[102], shape=1) + command(102, WORDS[102], shape=2) +
                            command(107, shape=3, lengths=[0, 0]) + command(107, shape=3, lengths=[100, 120]))
    yield "other_code", command(102, WORDS[102], shape=4) + command(107, shape=8) + command(102, WORDS[102], shape=12)
    yield "open_close", bytes([S_OPEN_CLOSE]) + command(107) + bytes([S_OPEN_CLOSE])


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    for folder, made in (("control", seeds()), ("session", session_seeds())):
        out = os.path.join(here, "corpus", folder)
        os.makedirs(out, exist_ok=True)
        for name, data in made:
            with open(os.path.join(out, name), "wb") as f:
                f.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main())
