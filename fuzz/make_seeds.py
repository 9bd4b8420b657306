#!/usr/bin/env python3
"""Writes the fuzz targets' seed corpus: real frames, replies and engine
messages, in the input layout of each target (see fuzz_protocol.cpp and
fuzz_dispatch.cpp). Run from anywhere; rewrites fuzz/corpus/."""
import os

HERE = os.path.dirname(os.path.abspath(__file__))

# Protocol states in the order of kProtocolStates (fuzz_engine.h).
STATES = ["Idle", "Ready", "HandshakeF1", "HandshakeF2", "HandshakeCounts1", "HandshakeD1",
          "HandshakeCounts2", "HandshakeD2", "StopBoth", "MoveStop2", "MoveMode2", "MoveRate2",
          "MoveStop1", "MoveMode1", "MoveRate1", "QueryRemoteOutput", "QueryRemoteAdapter", "TimerRead"]
REPLIES = [b"=\r", b"=00F915\r", b"=00350C\r", b"=A02526\r", b"=A12526\r", b"!05\r", b"=E803\r",
           b"=1\r", b":F1\r=\r", b"\n#\x7f=\r\n", b"=" + b"0123456789" * 5 + b"\r"]
COMMANDS = [b"\x04\x00\x02", b"\x04\x03\x05", b"\x05\x04", b"\x05\x02", b"\x06\x00\x01", b"\x06\x01\x01",
            b"\x06\x02\x03", b"\x07\x00", b"\x07\x02", b"\x08\x01\x00\xf4\x01", b"\x09"]


def parse_ops(data):
    """Port data ops of at most 31 bytes each."""
    out = b""
    for at in range(0, len(data), 31):
        piece = data[at:at + 31]
        out += bytes([((len(piece) - 1) << 2) | 0]) + piece
    return out


def command_op(payload):
    return bytes([((len(payload) - 1) << 2) | 2]) + payload


def write(target, name, data):
    directory = os.path.join(HERE, "corpus", target)
    os.makedirs(directory, exist_ok=True)
    with open(os.path.join(directory, name), "wb") as f:
        f.write(data)


def main():
    for i, state in enumerate(STATES):
        for j, reply in enumerate(REPLIES):
            write("protocol", f"{state}-reply{j}", bytes([i, 0x80, 12]) + parse_ops(reply))
        for j, command in enumerate(COMMANDS):
            write("protocol", f"{state}-command{j}", bytes([i, 0x80, 0]) + command_op(command) + parse_ops(b"=\r"))
    # A whole handshake and a move, replies split over messages, ticks between.
    handshake = bytes([0, 0, 0, 3]) + parse_ops(b"=\r") + parse_ops(b"=\r") + parse_ops(b"=00F9") + \
        parse_ops(b"15\r") + b"\x01" + parse_ops(b"=\r=00F915\r=\r") + command_op(COMMANDS[0]) + \
        parse_ops(b"=\r=\r=\r=\r")
    write("protocol", "handshake-then-move", handshake)

    def port_data(data):
        out = b""
        for at in range(0, len(data), 31):
            piece = data[at:at + 31]
            out += bytes([0xC0 + len(piece)]) + piece
        return out

    def command(payload):
        return bytes([0x80 + len(payload)]) + payload

    heartbeat = b"\xa0\x00"
    streams = {
        "closed-commands": (0, command(b"\x02") + command(b"\x04\x00\x02") + heartbeat + command(b"\x01\xc8")),
        "open-handshake": (1, port_data(b"=\r") + heartbeat + port_data(b"=\r=00F915\r=\r=00F915\r=\r")),
        "ready-move-stop": (3, command(b"\x04\x02\x02") + port_data(b"=\r=\r=\r=\r") + command(b"\x05\x04") +
                            port_data(b"=\r")),
        "ready-everything": (3, b"".join(command(c) for c in COMMANDS) + port_data(b"=\r" * 12) + heartbeat),
        "ticks-to-give-up": (1 | (12 << 2), heartbeat * 13),
        "garbage-between": (3, b"\x00\x13\x7f" + heartbeat + b"\x41" + command(b"\x83\x01\x03\x00") +
                            b"\xe5abcde" + command(b"") + b"\x00"),
        "connect-com256": (0, b"\x83\x01\x00\x01" + b"\x83\x01\x05\x00" + command(b"\x01\x07")),
        "flood": (3, port_data(b"\n#\x7f" * 40)),
        "disconnect-while-open": (1, port_data(b"=") + command(b"\x02") + port_data(b"\r")),
    }
    for name, (flags, stream) in streams.items():
        write("dispatch", name, bytes([flags, 2]) + stream)


if __name__ == "__main__":
    main()
