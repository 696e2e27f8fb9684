#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

Seeds are small valid and nearly valid inputs; inputs that once made a target
fail are kept beside them under names starting with "crash-" or "regress-"
and are not touched by this script. Run it again after changing a seed.
"""

import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, "corpus")

MAGIC = 0x12345678
SMALL_ROM = 0x20000


def write(target, name, data):
    directory = os.path.join(CORPUS, target)
    os.makedirs(directory, exist_ok=True)
    with open(os.path.join(directory, name), "wb") as f:
        f.write(data)


def text_field(text):
    raw = text.encode("latin-1")[:31]
    return raw + b"\0" * (32 - len(raw))


def pattern(length, seed):
    return bytes((i * 31 + seed * 17 + (i >> 3)) & 0xFF for i in range(length))


def container(components, lengths=None, total=None, truncate=None):
    """A United Binary (4 components) or PDA image (3), offsets back to back."""
    count = len(components)
    header_size = 80 + 44 * count
    lengths = lengths or [len(c) for c in components]
    body = b"".join(components)
    total = header_size + sum(lengths) if total is None else total
    header = struct.pack("<III", header_size, MAGIC, 1)
    header += text_field("10") + text_field("[Build]:24/05/01-10:20:30")
    header += struct.pack("<I", total)
    offset = header_size
    for component, length in zip(components, lengths):
        header += text_field("[Date]:24/04/30-09:00:00    ")
        header += struct.pack("<III", offset, length, zlib.crc32(component) & 0xFFFFFFFF)
        offset += length
    data = header + body
    return data[:truncate] if truncate is not None else data


def image_seeds(target):
    phone, ipl, widebin, resource = pattern(64, 1), pattern(16, 2), pattern(48, 3), pattern(24, 4)
    write(target, "united.img", container([phone, ipl, widebin, resource]))
    write(target, "pda.pda", container([ipl, widebin, resource]))
    # Headers that announce a full-size widebin; the file itself stops early.
    write(target, "united-full-widebin.img",
          container([phone, ipl, widebin, resource], lengths=[64, 16, SMALL_ROM + 32, 24],
                    truncate=400))
    write(target, "pda-full-widebin.pda",
          container([ipl, widebin, resource], lengths=[16, SMALL_ROM + 32, 24], truncate=300))
    # Total size too small for the phone half, so the PDA body would start before the header ends.
    write(target, "united-short-total.img", container([phone, ipl, widebin, resource], total=100))
    bad = bytearray(container([ipl, widebin, resource]))
    bad[0:4] = struct.pack("<I", 300)
    write(target, "bad-header-size.bin", bytes(bad))
    write(target, "short-header.bin", container([phone, ipl, widebin, resource])[:200])


def trailer(length, word, start, first=0x00):
    data = bytearray(pattern(length, 5))
    data[0] = first
    struct.pack_into("<I", data, length - 18, word)
    struct.pack_into("<I", data, length - 16, start)
    return bytes(data)


def phone_trailer_seeds():
    t = "phone_trailer"
    write(t, "good.bin", trailer(64, 0, 0x10000))
    write(t, "two-blocks.bin", trailer(1500, 0x12, 0x4000))
    write(t, "odd-start-yes.bin", trailer(100, 0, 0x1234, first=0x01))
    write(t, "odd-start-no.bin", trailer(100, 0, 0x1234, first=0x00))
    write(t, "all-ones-word.bin", trailer(64, 0xFFFFFFFF, 0x10000))
    write(t, "too-short.bin", pattern(35, 6))
    write(t, "exact-minimum.bin", trailer(36, 0, 0))


def phone_reply_seeds():
    t = "phone_reply"
    write(t, "flagged-ack", b"\x00\x7e\x02\x6a\xd3\x7e")
    write(t, "bare-ack-no-lead", b"\x01\x02\x6a\xd3\x7e")
    write(t, "flagged-refusal", b"\x02\x7e\x03\xaa\x7e")
    write(t, "lead-refusal", b"\x04\x7f\x13")
    write(t, "lone-flag", b"\x00\x7e")
    write(t, "overlong-write-reply", b"\x06" + pattern(1100, 7))
    write(t, "raw-probe", b"\x08\x7f\xaa\xdd\x7e")


def mode_switch_seeds():
    t = "mode_switch_reply"
    write(t, "ok-start2", b"\x00\x05OK\r\n")
    write(t, "flagged-ack-jump", b"\x00\x0a\x7e\x02\x6a\xd3\x7e")
    write(t, "refusal", b"\x00\x08\x7e\x05\x7e")
    write(t, "single-byte", b"\x00\x05\x02")
    write(t, "largest-frame", b"\x08\x17OK")
    write(t, "frame-too-long", b"\x08\x18OK")
    write(t, "long-reply", b"\x00\x05" + pattern(1500, 8))


def response(status, data=b"", delta=0, length=None):
    length = len(data) if length is None else length
    checksum = (sum(data) + delta) & 0xFFFFFFFF
    body = struct.pack("<III", status, length, checksum) + data
    return body + b"\0" * (30 - len(body))


def value(v):
    return struct.pack("<I", v)


def pda_response_seeds():
    t = "pda_response"
    write(t, "responses",
          b"\x00" + b"\x04" + response(1, value(123)) + b"\x00" + response(1) +
          b"\x12" + response(1, b"", length=19) + b"\x04" + response(1, value(5), delta=1) +
          b"\x04" + response(2, value(5)) + b"\x02" + response(1, value(7)))
    ack = response(1)
    flash = response(1, value(50)) + response(1, value(100)) + response(1, value(0xFFFFFFFE))
    # Target SmallRom, 5,000 bytes: DL_MODE, two RAM chunks, RAM_END, flash reports.
    download = response(1, value(64 << 20)) + ack * 3 + flash
    write(t, "download-ok", b"\x01\x00\x00" + struct.pack("<H", 5000) + download)
    write(t, "download-too-big", b"\x01\x01\x00" + struct.pack("<H", 5000) + response(1, value(10)))
    write(t, "download-flash-failed",
          b"\x01\x02\x00" + struct.pack("<H", 100) + response(1, value(64 << 20)) + ack * 2 +
          response(1, value(0xFFFFFFFF)))
    write(t, "download-resends",
          b"\x01\x03\x05" + struct.pack("<H", 100) + response(1, value(64 << 20)) +
          response(0) + ack + ack + flash)


def usb_packet(result, data, length=None):
    length = len(data) if length is None else length
    return bytes([result]) + struct.pack("<H", length) + data


def pda_usb_seeds():
    t = "pda_response"
    # One port function, 'psys', IN endpoint 2 and OUT endpoint 1.
    info = bytes([1, 1, 0, 0]) + b"psys" + bytes([0, 0x21, 0, 0])
    packets = (usb_packet(0, response(1, value(64 << 20))) + usb_packet(2, b"\x01\x00") +
               usb_packet(0, b"") + usb_packet(0, response(1)[2:]) +
               usb_packet(3, pattern(40, 9)) + usb_packet(4, pattern(5000, 10)))
    write(t, "usb-psys", b"\x02" + bytes([len(info)]) + info + packets)
    # Two functions, the wanted one second and with the same endpoint both ways.
    info = bytes([2, 0, 0, 0]) + b"abcd" + bytes([3, 0, 0, 0]) + b"psys" + bytes([4, 0, 0, 0])
    write(t, "usb-same-endpoint", b"\x02" + bytes([len(info)]) + info +
          usb_packet(0, response(1, value(7))))
    # No usable information: the transport falls back to the first bulk pair.
    write(t, "usb-no-info", b"\x02\x50" + pattern(0x50, 11) + usb_packet(0, response(2)))


def host_request(code, length=0, index=0, rest=b""):
    data = bytes([code]) + struct.pack(">I", length) + bytes([index]) + rest
    return data + b"\0" * (30 - len(data))


def message(text):
    raw = text.encode()
    return bytes([0]) + struct.pack(">I", 5 + len(raw)) + raw + b"\0" * (25 - len(raw))


def open_request(name, mode, first=True, last=True):
    raw = name.encode()
    return host_request(1, 8 + len(raw), mode, bytes([1 if last else 0, 1 if first else 0]) + raw)


def host_file_seeds():
    t = "host_file_service"
    read_session = (message("Formatting...") + open_request("a.txt", 0) +
                    host_request(3, 0, 0, struct.pack(">I", 10)) + host_request(7, 0, 0) +
                    host_request(5, 0, 0) + host_request(3, 0, 0, struct.pack(">I", 2000)) +
                    host_request(2, 0, 0) + host_request(6))
    write(t, "read-session", read_session)
    write_session = (open_request("new.txt", 4) +
                     host_request(4, 0, 0, struct.pack(">I", 30) + b"0123456789ABCDEFGHIJ") +
                     host_request(7, 0, 0) + host_request(4, 0, 0, struct.pack(">I", 31)) +
                     host_request(2, 0, 0) + open_request("sub/", 0, first=True, last=False) +
                     open_request("b.bin", 0, first=False, last=True) +
                     host_request(3, 0, 1, struct.pack(">I", 20)) + host_request(6))
    write(t, "write-session", write_session)
    escapes = {
        "escape-dotdot": "../outside.txt",
        "escape-link": "out",
        "escape-link-dir": "up/outside.txt",
        "escape-link-dir2": "outdir/c.txt",
        "escape-absolute-link": "abs",
        "escape-absolute": "/etc/passwd",
        "escape-backslash": "sub\\..\\..\\outside.txt",
        "fifo": "fifo",
    }
    for name, path in escapes.items():
        write(t, name, open_request(path, 4) + host_request(4, 0, 0, struct.pack(">I", 12) + b"xx"))
    write(t, "table-full", open_request("a.txt", 0) * 21)


SIMULATED = "\\\\?\\k730#palm-simulated-device#socket"
USB = "\\\\?\\k730#palm-os-usb-device#usb-unit-"


def device_params(mode, base, slots, ports):
    ports = list(ports) + [0] * (10 - len(ports))
    return bytes([mode, base & 0xFF, slots & 0xFF] + [p & 0xFF for p in ports])


def device_name_seeds():
    t = "device_interface_name"
    write(t, "simulated-arrival", device_params(0, 3, 3, [3, 4, 5]) + (SIMULATED + "4#palm4.sock").encode())
    write(t, "usb-device", device_params(0, 1, 2, [2, 7]) + (USB + "2#bus001&dev002&vid_0830&pid_0061").encode())
    write(t, "socket-file", device_params(1, 3, 1, [3]) + b"palm7.sock")
    write(t, "socket-file-zeros", device_params(1, 3, 1, [3]) + b"palm007.sock")
    write(t, "huge-number", device_params(0, 0, 6, [1, 2, 3, 4, 5, 6]) + (SIMULATED + "12345678901234#x").encode())
    write(t, "pda-mode-removal", device_params(2, 1, 6, []) + (SIMULATED + "150#palm150.sock").encode())
    write(t, "negative-base", device_params(0, -5, 4, [-1, 0, 1]) + (USB + "255#bus255&dev255").encode())


def settings_seeds():
    t = "settings_file"
    section = "[SOFTWARE\\HALVEK\\KORVAN730DL]"
    write(t, "normal.ini", ("; Halvek Talmo Downloader\n" + section +
                            "\nUPLOAD_PATH=/home/op/TOVA_Korvan_Release.img\nUPLOAD_PORT=3\n").encode())
    write(t, "crlf.ini", ("; x\r\n" + section + "\r\nUPLOAD_PORT=5\r\nUPLOAD_PATH=C:\\img\\a.img\r\n").encode())
    write(t, "two-sections.ini", ("[OTHER]\nUPLOAD_PORT=9\n\n" + section + "\nUPLOAD_PATH=a=b\n\n\n" +
                                  section + "\nUPLOAD_PORT=4\n[TAIL]\nX=1").encode())
    write(t, "no-newline.ini", (section + "\nUPLOAD_PORT=").encode())
    write(t, "binary.ini", b"\x00\xff[" + section.encode() + b"\x00\nUPLOAD_PATH\x00=1\n")


def main():
    image_seeds("image_header")
    image_seeds("image_info_verify")
    phone_trailer_seeds()
    phone_reply_seeds()
    mode_switch_seeds()
    pda_response_seeds()
    pda_usb_seeds()
    host_file_seeds()
    device_name_seeds()
    settings_seeds()


if __name__ == "__main__":
    main()
