"""python3-serial's RFC 2217 server (PortManager) around a loop-back device, for testing
our client against an independent implementation.

The device is a loop-back plug: data written to it comes back, RTS drives CTS and DTR
drives DSR. Prints "PORT <n>" once listening on 127.0.0.1, serves one connection, then
prints what the client set and exits.
"""
import select
import socket
import sys

import serial
import serial.rfc2217


class LoopDevice:
    def __init__(self):
        self.baudrate = 9600
        self.bytesize = 8
        self.parity = serial.PARITY_NONE
        self.stopbits = serial.STOPBITS_ONE
        self.xonxoff = False
        self.rtscts = False
        self.rts = False
        self.dtr = False
        self.breaks = 0
        self._break = False
        self.purges = 0

    @property
    def break_condition(self):
        return self._break

    @break_condition.setter
    def break_condition(self, on):
        if on and not self._break:
            self.breaks += 1
        self._break = on

    @property
    def cts(self):
        return self.rts

    @property
    def dsr(self):
        return self.dtr

    ri = False
    cd = False

    def reset_input_buffer(self):
        self.purges += 1

    def reset_output_buffer(self):
        pass


class Connection:
    def __init__(self, sock):
        self.sock = sock

    def write(self, data):
        self.sock.sendall(data)


def main():
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.bind(("127.0.0.1", 0))
    listener.listen(1)
    print("PORT", listener.getsockname()[1], flush=True)
    listener.settimeout(20)
    conn, _ = listener.accept()
    conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    device = LoopDevice()
    manager = serial.rfc2217.PortManager(device, Connection(conn))
    while True:
        readable, _, _ = select.select([conn], [], [], 0.01)
        if readable:
            data = conn.recv(4096)
            if not data:
                break
            received = b"".join(manager.filter(data))
            if received:
                conn.sendall(b"".join(manager.escape(received)))
        manager.check_modem_lines()
    print("SETTINGS baud={} bytesize={} parity={} stopbits={} breaks={} purges={} flow={}".format(
        device.baudrate, device.bytesize, device.parity, device.stopbits, device.breaks,
        device.purges, "xonxoff" if device.xonxoff else ("rtscts" if device.rtscts else "none")),
        flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
