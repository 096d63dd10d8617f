#!/usr/bin/env python3
"""Writes the seed corpus: real reader replies in the fuzz input layout of
reply_fuzzer.cpp. Rerun after changing the layout; the files are kept in
the repository so that every fuzz run starts from them."""
import os

HERE = os.path.dirname(os.path.abspath(__file__))


def seed(reply, module=0x00, block=5, arg=1, write_fails=False, count=None):
    n = len(reply) if count is None else count
    v = n + 1
    header = bytes([module, block, arg, 0x3F if write_fails else 0, v >> 8, v & 0xFF])
    return header + bytes(reply)


BLOCK = list(range(0x10, 0x20))
SEEDS = {
    "card_request": {
        "mifare_classic": seed([0x09, 0x20, 0xDE, 0xAD, 0xBE, 0xEF, 0x00]),
        "seven_byte": seed([0x0C, 0x20, 1, 2, 3, 4, 5, 6, 7, 0x00]),
        "refused": seed([0x02, 0xDF, 0x00]),
        "odd_length": seed([0x0A, 0x20, 1, 2, 3, 4, 5, 0x00]),
        "short": seed([0x09, 0x20, 0xDE]),
        "no_reply": seed([], count=0),
        "read_error": seed([], count=-1),
        "write_fails": seed([], write_fails=True),
    },
    "block_read": {
        "ok": seed([0x13, 0x21] + BLOCK + [0x00]),
        "refused": seed([0x02, 0xDE, 0x00]),
        "short": seed([0x13, 0x21, 1, 2, 3]),
        "full_256": seed([0x13, 0x21] + BLOCK + [0xAA] * 238),
        "write_fails": seed([], write_fails=True, block=60, arg=0x0A),
    },
    "block_write": {
        "ok": seed([0x02, 0x22, 0x00]),
        "refused": seed([0x02, 0xDD, 0x00]),
        "write_fails": seed([], write_fails=True, block=63),
    },
    "halt": {
        "pass": seed([0x02, 0x28, 0x00]),
        "fail": seed([0x02, 0xD7, 0x00]),
    },
    "buzzer": {
        "ok": seed([0x02, 0x14, 0x00], arg=10),
        "fail": seed([0x02, 0xEC, 0x00], arg=200),
        "not_failure": seed([0x02, 0xEB, 0x00], arg=3),
    },
    "search_tag": {
        "four_byte": seed([0x08, 0x00, 0x00, 0x01, 0x00, 0x00, 0x04, 0xDE, 0xAD, 0xBE, 0xEF], arg=1),
        "four_byte_read_stage": seed([0x08, 0x00, 0x00, 0x01, 0x00, 0x00, 0x04, 1, 2, 3, 4], arg=2),
        "seven_byte": seed([0x0B, 0x00, 0x00, 0x01, 0x00, 0x00, 0x07, 1, 2, 3, 4, 5, 6, 7], arg=3),
        "other_length": seed([0x0B, 0x00, 0x00, 0x01, 0x00, 0x00, 0x0A] + [9] * 10, arg=1),
        "no_card": seed([0x02, 0x00, 0x00, 0x00], arg=1),
        "short": seed([0x08, 0x00, 0x00, 0x01, 0x00, 0x00, 0x07, 1], arg=1),
    },
    "login": {
        "pass": seed([0x02, 0x00, 0x00, 0x01], block=13),
        "fail": seed([0x02, 0x00, 0x00, 0x00], block=13),
        "retry": seed([0x02, 0x00, 0x00, 0x02], block=13),
        "write_fails": seed([], write_fails=True, block=13),
    },
    "read_block": {
        "ok": seed([0x12, 0x00, 0x00, 0x01] + BLOCK),
        "fail": seed([0x02, 0x00, 0x00, 0x00]),
        "retry": seed([0x02, 0x00, 0x00, 0x02]),
        "short": seed([0x12, 0x00, 0x00, 0x01, 1, 2]),
    },
    "write_block": {
        "ok": seed([0x02, 0x00, 0x00, 0x01]),
        "ok_echo": seed([0x12, 0x00, 0x00, 0x01] + BLOCK),
        "fail": seed([0x02, 0x00, 0x00, 0x00]),
        "retry": seed([0x02, 0x00, 0x00, 0x07]),
    },
    "beep": {
        "answer": seed([0x02, 0x00, 0x00, 0x01], arg=0x40),
        "no_reply": seed([], count=0, arg=0xFF),
    },
    "exchange": {
        "card_request": seed([0x03, 0x20, 0x01, 0x22, 0x00], arg=6, block=4),
        "write_fails": seed([0x0A, 0x21, 0x01, 0x05, 0xA1, 0xB2], write_fails=True, arg=13, block=4),
        "full_256": seed([0x55] * 256, arg=30, block=4),
        "zero_length": seed([0x01], arg=2, block=4),
    },
}

for target, seeds in SEEDS.items():
    directory = os.path.join(HERE, "corpus", target)
    os.makedirs(directory, exist_ok=True)
    for name, data in seeds.items():
        with open(os.path.join(directory, name), "wb") as f:
            f.write(data)
