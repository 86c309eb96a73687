"""python3-serial's RFC 2217 client against our server, whose test device is a loop-back
plug (echo, RTS drives CTS, DTR drives DSR). Usage: py_rfc2217_client.py PORT.
Prints OK and exits 0 when every check passed; prints the failure and exits 1 otherwise.
"""
import sys

import serial


def check(what, got, want):
    if got != want:
        print("FAIL {}: got {!r}, want {!r}".format(what, got, want), flush=True)
        sys.exit(1)


def main():
    port = int(sys.argv[1])
    s = serial.serial_for_url("rfc2217://127.0.0.1:{}".format(port), baudrate=19200,
                              stopbits=serial.STOPBITS_TWO, timeout=3)
    # Opening raised DTR and RTS and waited for each acknowledgement; the device's line
    # change was sent before the acknowledgement, so the cached state is current.
    check("cts after open", s.cts, True)
    check("dsr after open", s.dsr, True)

    payload = bytes(range(256)) + b"\xff\xff"
    s.write(payload)
    check("echo", s.read(len(payload)), payload)

    s.rts = False
    check("cts after rts off", s.cts, False)
    check("dsr after rts off", s.dsr, True)
    s.dtr = False
    check("dsr after dtr off", s.dsr, False)
    s.rts = True
    check("cts after rts on", s.cts, True)

    s.send_break(0.01)
    s.reset_input_buffer()
    s.write(b"after purge")
    check("echo after purge", s.read(11), b"after purge")
    s.close()
    print("OK", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
