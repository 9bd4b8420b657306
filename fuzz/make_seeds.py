#!/usr/bin/env python3
"""Writes the fuzz targets' seed corpus: real frames, replies and engine
messages, in the input layout of each target (see fuzz_protocol.cpp,
fuzz_dispatch.cpp and fuzz_sim.cpp). Run from anywhere; rewrites fuzz/corpus/."""
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
    sim_seeds()


def sim_seeds():
    """The simulator's model: ops of data-port bytes, control lines, clock
    steps (2^k ns) and writes of what is due, each op byte's low two bits
    its kind and the rest its length less one (or k)."""
    def op(kind, payload):
        out = b""
        for at in range(0, len(payload), 64):
            piece = payload[at:at + 64]
            out += bytes([((len(piece) - 1) << 2) | kind]) + piece
        return out

    def frames(text):
        return op(0, text.encode("latin-1"))

    def control(line):
        return op(1, line.encode("latin-1"))

    def wait(k):
        return bytes([(k << 2) | 2])

    drain = bytes([(63 << 2) | 3])
    handshake = frames(":F1\r:F2\r:a1\r:D1\r:a2\r:D2\r:e1\r:b1\r:g1\r:s1\r") + drain
    streams = {
        "handshake": handshake,
        "slew-brake": handshake + frames(":G130\r:I1460000\r:J1\r") + wait(30) + frames(":j1\r:K1\r") + wait(28) +
        frames(":f1\r:j1\r") + drain,
        "goto-slow": handshake + frames(":G120\r:I1010000\r:H1030000\r:J1\r") + wait(20) + frames(":f1\r:j1\r") +
        drain,
        "long-goto": frames(":F3\r:G130\r:I1010000\r:J1\r") + wait(35) + wait(35) +
        frames(":L1\r:G120\r:I1FFFFFF\r:S1000000\r:J1\r") + wait(55) + frames(":f1\r") + drain,
        "faults": control("stuck 1 1") + control("reversed 2 1") + control("runaway 1 1") + handshake +
        frames(":G230\r:H2100000\r:J3\r:L3\r") + wait(25) + frames(":f2\r:j2\r") + control("stuck 1 0") +
        control("axis 1") + drain,
        "few-counts": control("counts 1 1") + control("counts 2 320") + frames(":D1\r:D2\r:s1\r") + drain,
        "shaping": control("echo 1") + control("noise 1") + control("split 3") + control("pace 1") +
        control("latency 5") + control("overlong 7") + frames(":a1\r:e2\r") + wait(22) + drain + wait(24) + drain,
        "flood-stall": control("flood 1") + drain + control("flood 0") + control("stall 1") + frames(":e1\r") + drain,
        "control-misc": control("model wifi-altaz") + control("error :e 1") + frames(":e1\r:e2\r") +
        control("say =\\r\\x7F") + control("log us") + control("memory") + control("state") + control("clearlog") +
        control("reset") + drain,
        "timer-aux": frames(":O11\r:o1\r:X13\r:x1\r:T1102C01\r") + wait(28) + frames(":t1\r") + drain,
        "high-bytes": frames(":Q1\xc6\xff\x00\r") + control("log") + drain,
        "broken-frames": frames(":Q1\r:\r:F\r:I112\r:a3\r:G13G\r\n#:F1:D2\r:" + "0" * 40 + "\r") + drain,
    }
    for name, stream in streams.items():
        write("sim", name, stream)


if __name__ == "__main__":
    main()
