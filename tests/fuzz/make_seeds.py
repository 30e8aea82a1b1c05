#!/usr/bin/env python3
"""Writes the seed corpora of the structured fuzz targets (tests/fuzz/corpus/<target>/).

The targets read their input through FuzzedDataProvider: byte strings from the front, integers
from the back. Seed() below builds an input in the same order the target consumes it, so each
seed plays a meaningful scene: a dongle that answers every read, a T=0 card that asks for GET
RESPONSE, a CPLC answer, an encrypted command. Run it again after changing the order in which a
target consumes its input.
"""

import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


class Seed:
    def __init__(self):
        self.front = bytearray()
        self.back = bytearray()  # in consumption order; stored reversed at the end

    # Integers: FuzzedDataProvider takes one byte per 8 bits of the range, last byte first.
    def range(self, lo, hi, value):
        assert lo <= value <= hi, (lo, hi, value)
        span, n = hi - lo, 0
        while n < 8 and (span >> (8 * n)) > 0:
            n += 1
        self.back += (value - lo).to_bytes(n, "big") if n else b""
        return self

    def u8(self, v):
        return self.range(0, 255, v)

    def i32(self, v):
        return self.range(-(2**31), 2**31 - 1, v)

    def u32(self, v):
        return self.range(0, 2**32 - 1, v)

    def bool(self, v):
        return self.u8(1 if v else 0)

    def bytes(self, data):
        self.front += bytes(data)
        return self

    def string(self, text, max_length):
        data = text.encode("latin-1") if isinstance(text, str) else bytes(text)
        assert len(data) <= max_length
        self.front += data.replace(b"\\", b"\\\\")
        if len(data) < max_length:
            self.front += b"\\x"  # ends the string
        return self

    def build(self):
        return bytes(self.front) + bytes(reversed(self.back))


# ---- the card targets' scripting (tests/fuzz/fuzz_pcsc.h) ----

T0, T1 = 1, 2


def status(s, sw):
    if sw == (0x90, 0x00):
        s.range(0, 5, 0)
    elif sw[0] == 0x61:
        s.range(0, 5, 2).u8(sw[1])
    elif sw == (0x6A, 0x82):
        s.range(0, 5, 3)
    else:
        s.range(0, 5, 5).bytes(sw)


def answer(s, data, sw=(0x90, 0x00)):
    """An answer of up to 12 data bytes, exactly 45 (CPLC), or any length up to 300."""
    data = bytes(data)
    if len(data) == 45:
        s.range(0, 7, 2).range(0, 12, 0)
    elif len(data) <= 12:
        s.range(0, 7, 4).range(0, 12, len(data))
    else:
        s.range(0, 7, 1).range(0, 12, 0).range(0, 300, len(data))
    s.bytes(data)
    status(s, sw)


def reader(s, atr, protocol, default=((), (0x6D, 0x00))):
    s.range(0, 40, len(atr)).bytes(atr)
    s.range(0, 7, 2).bool(protocol == T0)
    for _ in range(3):
        s.range(0, 15, 1)  # no overstated count, card present, connect works
    s.range(0, 7, 1)  # the ATR attribute is served
    s.range(0, 15, 1)  # the status works
    answer(s, *default)


def answers(s, most, items, queued=None):
    """items: (data, sw) pairs, at most `most`; the first `queued` go into the card's FIFO."""
    s.range(0, most, len(items))
    s.range(0, len(items), len(items) if queued is None else queued)
    for data, sw in items:
        answer(s, data, sw)


def no_failures(s):
    s.range(0, 3, 1)


EGATE_ATR = bytes.fromhex("3B759400006202020301")
OK = (0x90, 0x00)


def cplc(serial=b"\x0A\x1B\x2C\x3D"):
    data = bytearray([0x9F, 0x7F, 0x2A] + [0x10 + i for i in range(42)])
    data[15:19] = serial
    return bytes(data)


def card_channel_seeds():
    seeds = {}
    # T=1: one command with data and one without, both answered 90 00.
    s = Seed()
    reader(s, EGATE_ATR, T1)
    answers(s, 6, [(b"\x01\x02", OK), (b"", OK)])
    no_failures(s)
    s.range(0, 15, 1).range(1, 3, 1).range(1, 4, 2)
    for header, data, le in ((b"\x00\xA4\x04\x00", b"\xA0\x00\x00\x00\x03\x00\x00", 255),
                             (b"\x80\xCA\x9F\x7F", b"", 0)):
        s.range(0, 3, 1).bytes(header).range(0, 16, len(data)).range(0, 7, 1).bytes(data)
        s.range(0, 300, le).range(0, 15, 1)
    seeds["t1_select_and_get_data"] = s.build()

    # T=0 case 4: 61 08, then the data on GET RESPONSE; then case 2 with Le.
    s = Seed()
    reader(s, EGATE_ATR, T0)
    answers(s, 6, [(b"", (0x61, 0x08)), (b"\x0A\x1B\x2C\x3D\x4E\x5F\x60\x71", OK), (b"\x01\x0A", OK)],
            queued=1)
    no_failures(s)
    s.range(0, 15, 1).range(1, 3, 1).range(1, 4, 2)
    s.range(0, 3, 1).bytes(b"\x40\x10\x62\x12").range(0, 16, 1).range(0, 7, 1).bytes(b"\xFF")
    s.range(0, 300, 255).range(0, 15, 1)
    s.range(0, 3, 1).bytes(b"\x40\x10\x62\xB2").range(0, 16, 0).range(0, 7, 1)
    s.range(0, 300, 2).range(0, 15, 1)
    seeds["t0_get_response_and_case2"] = s.build()

    # A raw command, and an answer that does not fit the buffer Le asked for.
    s = Seed()
    reader(s, EGATE_ATR, T1)
    answers(s, 6, [(bytes(range(20)), OK)])
    no_failures(s)
    s.range(0, 15, 1).range(1, 3, 2).range(1, 4, 1)
    s.range(0, 3, 0).range(0, 270, 6).bytes(b"\x00\xB0\x00\x00\x01\xFF")
    s.range(0, 300, 4).range(0, 15, 1)
    seeds["answer_beyond_le"] = s.build()
    return seeds


def gp_card_seeds():
    seeds = {}
    # Lookup by HWID on a T=1 e-gate card: SELECT of the card manager, CPLC, then GetSerial.
    s = Seed()
    s.range(1, 3, 1)
    reader(s, EGATE_ATR, T1)
    s.bool(False)  # keep the ATR above
    answers(s, 8, [(b"", OK), (cplc(), OK), (cplc(), OK)])
    no_failures(s)
    s.range(1, 3, 1).range(0, 5, 2).bytes(cplc()[15:23])
    s.bool(True)  # search
    s.range(0, 5, 1).range(0, 4, 0)  # one GetSerial
    seeds["find_by_hwid_then_serial"] = s.build()

    # Lookup by the dongle's AID on two readers: the first refuses with 6A 82.
    s = Seed()
    s.range(1, 3, 2)
    reader(s, EGATE_ATR, T1)
    s.bool(False)
    answers(s, 8, [(b"", (0x6A, 0x82))])
    reader(s, EGATE_ATR, T0)
    s.bool(False)
    answers(s, 8, [(b"", OK), (b"", OK), (cplc(), OK), (b"", OK)])
    no_failures(s)
    s.range(1, 3, 1).range(0, 5, 1).bool(True)  # the dongle's AID
    s.bool(True)
    s.range(0, 5, 1).range(0, 4, 2)  # GetCPLCData from the applet: back to the manager and back
    seeds["find_dongle_aid_second_reader"] = s.build()

    # Any card, then SELECT of a hex AID given as text with blanks.
    s = Seed()
    s.range(1, 3, 1)
    reader(s, EGATE_ATR, T1)
    s.bool(True)
    answers(s, 8, [(b"", OK), (b"\x6F\x00", OK)])
    no_failures(s)
    s.range(1, 3, 1).range(0, 5, 0).bool(True)
    s.range(0, 5, 1).range(0, 4, 3).bool(False).string("A0 00 00 00 03 00 00", 40)
    s.range(-1, 300, 255)
    seeds["first_card_select_text_aid"] = s.build()
    return seeds


def dongle_seeds():
    seeds = {}
    key = bytes.fromhex("13579BDF02468ACE")

    def dongle(s, protocol, items, queued=None):
        s.range(0, 2, 1)
        reader(s, EGATE_ATR, protocol)
        s.bool(False)
        answers(s, 10, items, queued)
        no_failures(s)
        s.range(0, 3, 1)  # by AID

    def settings(s, encrypt, block=0, key_length=0):
        s.bool(encrypt).range(0, 7, block).range(0, 6, key_length)

    # T=1: SELECT, then serial, firmware and error code.
    s = Seed()
    dongle(s, T1, [(b"", OK), (b"\x0A\x1B\x2C\x3D\x4E\x5F\x60\x71", OK), (b"\x01\x0A", OK),
                   (b"\x00\x2A", OK)])
    settings(s, False)
    s.range(1, 5, 3)
    for which in range(3):
        s.bool(True).range(0, 2, which)
    s.bytes(b"\x00")  # something left, so the loop goes on
    seeds["t1_three_reads"] = s.build()

    # T=0: every answer with data comes on GET RESPONSE.
    s = Seed()
    dongle(s, T0, [(b"", OK), (b"", (0x61, 0x08)), (b"\x0A\x1B\x2C\x3D\x4E\x5F\x60\x71", OK),
                   (b"", (0x61, 0x02)), (b"\x01\x0A", OK)], queued=3)
    settings(s, False)
    s.range(1, 5, 2)
    for which in range(2):
        s.bool(True).range(0, 2, which)
    s.bytes(b"\x00")
    seeds["t0_reads_via_get_response"] = s.build()

    # Encrypted command: the key first, then 16 bytes of cipher text as the answer.
    s = Seed()
    dongle(s, T1, [(b"", OK), (key, OK), (bytes(range(16)), OK)])
    settings(s, True)
    s.range(1, 5, 1)
    s.bool(False)  # a command
    s.u8(0x40).u8(0x10).u8(0x00).bool(True).u8(0x00).u8(0x10).bool(False)
    s.range(0, 40, 3).bytes(b"\x01\x02\x03")
    seeds["encrypted_command"] = s.build()
    return seeds


README_INI = (b"[3B759400006202020301]\nAlias = MyCard\n\n[MyCard]\nName = My card\n"
              b"CardManagerAID = A0 00 00 00 03 00 00\n"
              b"AUTHKey = 404142434445464748494A4B4C4D4E4F\nKeySetVersion = 1\n")


def card_db_seeds():
    seeds = {}
    s = Seed().range(0, 4, 1).bool(True).range(0, 40, 10).bytes(EGATE_ATR).bytes(README_INI)
    seeds["readme_alias_profile"] = s.build()
    s = Seed().range(0, 4, 0).bool(False).range(0, 40, 0).string("3b759400006202020301", 80)
    s.bytes(b"[3b759400006202020301]\nCardManagerAID=A000\nMACKey = ABC\n")
    seeds["odd_hex_digits_named"] = s.build()
    s = Seed().range(0, 4, 4).bool(True).range(0, 40, 20)
    s.bytes(bytes.fromhex("3B7F96000080318065B08441460412FFFE829000"))
    seeds["no_file_builtin_entry"] = s.build()
    s = Seed().range(0, 4, 2).bool(True).range(0, 40, 10).bytes(EGATE_ATR)
    s.bytes(b"[3B759400006202020301]\nCardManagerAID=01\x0002\n")
    seeds["nul_byte_falls_back"] = s.build()
    s = Seed().range(0, 4, 3).bool(True).range(0, 40, 10).bytes(EGATE_ATR)
    s.bytes(b"\xEF\xBB\xBF[3B759400006202020301]\r\ncardmanageraid=$$\r\nGPVersion=0x7FFFFFFF\r\n")
    seeds["bom_no_hex_digits"] = s.build()
    return seeds


def hex_text_seeds():
    seeds = {}
    aid = bytes.fromhex("A0000000030000")

    def head(s, fixed, separator, count, data, copy):
        s.range(-2, 40, fixed).string(separator, 4).range(0, 20, count)
        s.range(0, 300, len(data)).bytes(data)
        src, dst, n, small, size = copy
        s.i32(src).i32(dst).i32(n).bool(small).range(0, 48, size)
        return s

    seeds["aid_with_blanks"] = head(Seed(), 7, " ", 4, aid, (1, 2, 3, False, 8)).bytes(
        b"A0 00 00 00 03 00 00").build()
    seeds["odd_digit_count"] = head(Seed(), 0, ":", 0, b"\x01", (0, 0, -1, False, 1)).bytes(
        b"abc").build()
    seeds["prefixed_lower_case"] = head(Seed(), 2, "", 1, bytes(range(9)), (5, 0, 0, False, 4)).bytes(
        b"0x12,0x3f;zz").build()
    seeds["copy_out_of_range"] = head(Seed(), 1, "--", 20, aid, (-1, 40, 2**31 - 1, False, 48)).bytes(
        b"0").build()
    return seeds


def cipher_seeds():
    seeds = {}
    key = bytes.fromhex("133457799BBCDFF1")
    iv = bytes.fromhex("0123456789ABCDEF")
    plain = b"The dongle's answer!"  # 20 bytes: two blocks and a partial one
    for mode, name in enumerate(("cbc", "cfb8", "cfb_block", "ofb", "ctr")):
        s = Seed().range(0, 2, 0).range(0, 12, 8).bytes(key).bool(False).bool(True).bytes(iv)
        s.u8(mode).range(0, 600, 8).string("QUJD", 200).bytes(plain)
        seeds["des_" + name] = s.build()
    s = Seed().range(0, 2, 0).range(0, 12, 7).bytes(key[:7]).bool(True).u32(56).bool(False)
    s.bytes(iv).u8(0).range(0, 600, 3).string("not base64!", 200).bytes(plain)
    seeds["des_56_bit_key_no_iv"] = s.build()
    s = Seed().range(0, 2, 1).range(0, 12, 3).bytes(key[:3]).bool(True).u32(4096).bool(False)
    s.bytes(iv).u8(9).range(0, 600, 0).string("QQ==", 200).bytes(plain)
    seeds["base_cipher_any_key_size"] = s.build()
    return seeds


def crypt_generic_seeds():
    seeds = {}
    key = bytes.fromhex("133457799BBCDFF1")
    data = bytes.fromhex("0123456789ABCDEF0123456789ABCDEF")
    for direction, chaining, name in ((0, 0, "ecb_encrypt"), (1, 1, "cbc_decrypt"),
                                      (0, 1, "cbc_encrypt")):
        s = Seed().u8(direction).u8(chaining).bool(False).range(0, 30, 8).bytes(key)
        s.i32(8).u8(0).bytes(data)
        seeds[name] = s.build()
    s = Seed().u8(2).u8(0).bool(False).range(0, 30, 8).bytes(key).i32(8).u8(0).bytes(data)
    seeds["unknown_direction"] = s.build()
    s = Seed().u8(0).u8(1).bool(False).range(0, 30, 9).bytes(key + b"\x01").i32(8).u8(0)
    s.bytes(data)
    seeds["key_too_long"] = s.build()
    s = Seed().u8(0).u8(1).bool(False).range(0, 30, 2).bytes(b"\x81\x02").i32(5).u8(0xAA)
    s.bytes(b"short")
    seeds["partial_block_padded"] = s.build()
    return seeds


def main():
    corpus = os.path.join(HERE, "corpus")
    scenes = {
        "fuzz_card_db": card_db_seeds(),
        "fuzz_hex_text": hex_text_seeds(),
        "fuzz_cipher": cipher_seeds(),
        "fuzz_crypt_generic": crypt_generic_seeds(),
        "fuzz_card_channel": card_channel_seeds(),
        "fuzz_gp_card": gp_card_seeds(),
        "fuzz_dongle": dongle_seeds(),
    }
    for target, seeds in scenes.items():
        os.makedirs(os.path.join(corpus, target), exist_ok=True)
        for name, data in seeds.items():
            with open(os.path.join(corpus, target, name), "wb") as f:
                f.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main())
