#!/usr/bin/python3
"""prtsim polled by an RFC 2217 client that is not ours: Debian's python3-serial.

Frames and CRC are built here by hand. Usage: pyserial_poll.py PATH_TO_PRTSIM
"""
import os
import subprocess
import sys
import tempfile
import time

import serial

failures = []


def check(cond, what):
    print(("ok   " if cond else "FAIL ") + what)
    if not cond:
        failures.append(what)


def crc_x25(data):
    crc = 0xFFFF
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ 0x8408 if crc & 1 else crc >> 1
    return crc ^ 0xFFFF


def frame(unit, control, data=b""):
    body = b"\x1b\x5b\x63" + (len(data) + 4).to_bytes(2, "little") + bytes([unit, control]) + data
    return body + crc_x25(body).to_bytes(2, "little")


def crc_ok(f):
    return len(f) >= 9 and crc_x25(f[:-2]) == int.from_bytes(f[-2:], "little")


def wait(pred, seconds=3.0):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if pred():
            return True
        time.sleep(0.01)
    return pred()


def read_answer(port):
    head = port.read(7)
    if len(head) < 7:
        return head
    length = head[3] | (head[4] << 8)
    return head + port.read(length - 4 + 2)


def main():
    prtsim = sys.argv[1]
    runtime = tempfile.mkdtemp(prefix="prt-pyserial-")
    env = dict(os.environ, PRT_RUNTIME_DIR=runtime, PRT_NAMESPACE="pyserial%d" % os.getpid())
    sim = subprocess.Popen([prtsim, "--listen", "127.0.0.1:0", "--model", "D0", "--features", "80"],
                           stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, env=env)
    try:
        first = sim.stdout.readline().strip()
        check(first.startswith("listening on 127.0.0.1:"), "first line: " + first)
        port_no = int(first.rsplit(":", 1)[1])

        check(crc_x25(b"123456789") == 0x906E, "CRC-16/X-25 check value")
        check(frame(1, 0xCD) == bytes.fromhex("1B5B63040001CDDDE8"), "golden print-unit poll")

        port = serial.serial_for_url("rfc2217://127.0.0.1:%d?poll_modem&timeout=2" % port_no,
                                     baudrate=9600, stopbits=serial.STOPBITS_TWO)

        def line(name):
            try:
                return getattr(port, name)
            except Exception:  # no modem notification yet
                return None

        port.rts = True  # CTS mode 2: no handshake, the answer just arrives
        check(wait(lambda: line("cts") is True), "CTS on: the printer is powered")

        port.reset_input_buffer()
        port.write(frame(1, 0xCD))
        por = read_answer(port)
        check(crc_ok(por), "POR answer has a good CRC")
        check(por[3:5] == b"\x09\x00" and por[7:12] == bytes([0x80, 0x00, 0xD0, 0x80, 0x30]),
              "print-unit POR: model D0, features 80, level 30: " + por.hex())
        check(por[6] & 0x70 == 0x70, "POR control: room, sequence and answer bits")
        tag, echo = por[6] & 0x20, por[6] & 0x10

        port.reset_input_buffer()
        port.write(frame(1, 0xCD | tag | echo))
        ack = read_answer(port)
        check(len(ack) == 9 and crc_ok(ack) and ack[6] & 0x30 == tag | echo, "plain acknowledgement")

        port.write(frame(2, 0xCD | tag | echo))
        rems = read_answer(port)
        check(rems[7:15] == bytes([0, 0, 0x80, 0, 0, 0, 0x30, 0]), "REMS POR: " + rems.hex())
        tag, echo = rems[6] & 0x20, rems[6] & 0x10
        port.write(frame(2, 0xCD | tag | echo))
        check(len(read_answer(port)) == 9, "REMS POR acknowledged")

        tag ^= 0x20
        port.write(frame(1, 0xCE | tag | echo, b"Hello\n"))
        port.reset_input_buffer()
        port.write(frame(1, 0xCD | tag | echo))
        done = read_answer(port)
        check(done[7:12] == bytes(5) and done[6] & 0x20 != tag, "clean completion after the write")
        tag, echo = done[6] & 0x20, done[6] & 0x10
        port.write(frame(1, 0xCD | tag | echo))
        check(len(read_answer(port)) == 9, "completion acknowledged")

        # CTS mode 1, byte-paced: DSR up, then one byte per RTS pulse.
        port.rts = False
        sim.stdin.write("insert\n")
        sim.stdin.flush()
        check(sim.stdout.readline().strip() == "ok", "insert command accepted")
        port.reset_input_buffer()
        port.write(frame(1, 0xCD | tag | echo))
        check(wait(lambda: line("dsr") is True), "DSR up when the answer is ready")
        got = b""
        for _ in range(14):
            port.rts = True
            got += port.read(1)
            port.rts = False
        check(crc_ok(got) and got[7] == 0x08, "byte-paced status: document inserted: " + got.hex())
        port.rts = True
        check(wait(lambda: line("dsr") is False), "DSR down after the release")
        port.rts = False
        port.close()

        sim.stdin.write("printlog\n")
        sim.stdin.flush()
        check(sim.stdout.readline().strip() == "48 65 6C 6C 6F 0A", "print log holds the text once")
        sim.stdin.close()
        check(sim.wait(timeout=10) == 0, "prtsim ends when its standard input closes")

        term = subprocess.Popen([prtsim, "--listen", "127.0.0.1:0"], stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, text=True, env=env)
        check(term.stdout.readline().startswith("listening on"), "second prtsim listening")
        term.terminate()
        check(term.wait(timeout=10) == 0, "prtsim ends on SIGTERM")
    finally:
        if sim.poll() is None:
            sim.kill()
            sim.wait()
    print("%d passed, %d failed" % (0 if failures else 1, 1 if failures else 0))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
