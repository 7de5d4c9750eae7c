#!/usr/bin/env python3
"""Writes the seed corpora in fuzz/corpus/<target>/. The seeds are kept in the tree; run this
only to change them (python3 fuzz/make_seeds.py). Regression seeds saved from findings live
beside them and are not touched."""
import os

HERE = os.path.dirname(os.path.abspath(__file__))


def record(rtype, address, data):
    body = bytes([len(data), address >> 8, address & 0xFF, rtype]) + bytes(data)
    checksum = (-sum(body)) & 0xFF
    return ":" + (body + bytes([checksum])).hex().upper()


def data_lines(address, data, per=16):
    return [record(0, address + i, data[i:i + per]) for i in range(0, len(data), per)]


END = ":00000001FF"


def read_answer(block, data, lower=False):
    text = ""
    for k in range(16):
        line = "%04X=" % (block + 16 * k) + bytes(data[16 * k:16 * k + 16]).hex().upper()
        text += "\r\n" + (line.lower() if lower else line)
    return text + "\r\n"


def write(target, name, content):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(content.encode("latin-1") if isinstance(content, str) else content)


def main():
    program = list(range(0x02, 0x02 + 40))
    crlf = "\r\n".join(data_lines(0, program) + [END]) + "\r\n"

    # Lines one by one: data, address records, other types, damaged lines.
    write("hex_line", "data_crlf.hex", crlf)
    write("hex_line", "linear_and_segment.hex",
          "\n".join([record(4, 0, [0, 0]), record(0, 0x10, [1, 2, 3]), record(2, 0, [0x0F, 0xFF]),
                     record(0, 0x0F, [0xAA]), record(4, 0, [0, 1]), record(0, 0, [0x55]), END]) + "\n")
    write("hex_line", "other_types.hex",
          "\r".join([record(3, 0, [0, 0, 0x12, 0x34]), record(5, 0, [0, 0, 0, 0]), record(0x0A, 0, [1]), END]))
    write("hex_line", "damaged.hex",
          "\n".join([record(0, 0xFFF8, list(range(16))), record(0, 0x20, [1, 2, 3])[:-2] + "00",
                     ":10002000", ":1G00200001", "garbage", "", record(0, 0x30, [9, 8, 7]).lower()]) + "\n")

    # Whole files.
    write("hex_file", "program_crlf.hex", crlf)
    write("hex_file", "program_lf_lower.hex", "\n".join(l.lower() for l in data_lines(0x100, program) + [END]) + "\n")
    write("hex_file", "top_of_memory.hex", "\r\n".join(data_lines(0xFFE0, list(range(32))) + [END]) + "\r\n")
    write("hex_file", "segment_base.hex",
          "\n".join([record(2, 0, [0x01, 0x00])] + data_lines(0, [0x11] * 20) + [record(4, 0, [0, 0]), END]) + "\n")
    write("hex_file", "after_end.hex", "\n".join(data_lines(0, [1, 2]) + [END] + data_lines(0x40, [3, 4])) + "\n\n  \n")
    write("hex_file", "bad_checksum.hex", "\n".join(data_lines(0, program)[:1] + [record(0, 0x10, [1, 2])[:-1] + "0", END]) + "\n")
    write("hex_file", "cut_short.hex", crlf + record(0, 0x80, [1, 2, 3])[:9])

    # Read answers: the first byte picks the chip size (256 << (byte % 8)); answers are
    # separated by a backslash and a line feed.
    block = lambda b: [(b + i * 7) & 0xFF for i in range(256)]
    sep = "\\\n"
    write("read_back", "one_block", "0" + read_answer(0, block(0)))
    write("read_back", "four_blocks", "2" + sep.join(read_answer(b, block(b)) for b in range(0, 1024, 256)))
    write("read_back", "lower_case", "0" + read_answer(0, block(3), lower=True))
    write("read_back", "bad_line_address", "0" + read_answer(0, block(0)).replace("\r\n0030=", "\r\n0040="))
    write("read_back", "short_then_retry", "0" + read_answer(0, block(5))[:100] + sep + read_answer(0, block(0)))
    write("read_back", "short_second_block", "1" + read_answer(0, block(0)) + sep + read_answer(256, block(1))[:300])
    write("read_back", "data_error", "0" + read_answer(0, block(0)).replace("=00", "=G0", 1))
    write("read_back", "runs_out_32k", "7" + sep.join(read_answer(b, block(b)) for b in range(0, 512, 256)))

    # Settings files.
    full = ["KP01001", "KP02001", "AM0105", "QS0105", "DOWNLOAD", "", "KP01@", "500 ms",
            "10,20,640,480, (Left,Top,Width,Height)", "192.0.2.7", "9", "/home/user/fw.hex",
            "Courier New", "8", "BOLD"]
    write("settings", "full.txt", "\r\n".join(full) + "\r\n")
    write("settings", "lf_negative.txt", "\n".join(full[:8] + ["-5,+3, 800 ,600,"] + full[9:10] + ["-1"] + full[11:14] + ["-"]) + "\n")
    write("settings", "eight_lines.txt", "\r\n".join(full[:8]) + "\r\n")
    write("settings", "bad_placement.txt", "\r\n".join(full[:8] + ["10,x,640,480,"] + full[9:]) + "\r\n")
    write("settings", "bad_font_size.txt", "\r".join(full[:13] + ["2147483648", "BOLD"]))
    write("settings", "nul_inside.txt", "\r\n".join(full[:10]) + "\0" + "\r\n".join(full[10:]))

    # Command lines, arguments separated by NUL.
    args = lambda *a: "\0".join(a)
    write("cli_options", "program", args("program", "fw.hex"))
    write("cli_options", "program_options", args("--port=COM3", "--retries", "5", "program", "fw.hex", "--lock0", "--no-bljb"))
    write("cli_options", "read_force", args("-q", "read", "out.hex", "--force"))
    write("cli_options", "diff", args("--sync-timeout=10", "-v", "diff", "fw.hex"))
    write("cli_options", "boot", args("--port", "ttyS7", "boot", "--lock1"))
    write("cli_options", "help", args("--help"))
    write("cli_options", "refused", args("--retries=-1", "erase", "--force"))
    write("cli_options", "serial", args("--record", "r.jsonl", "program", "fw.hex", "--serial-at", "0x7FF0",
                                        "--serial-format", "dec:6", "--serial-file", "n", "--loop"))

    # Station configuration files.
    write("config_file", "station.conf", "# line 2\n[default]\nretries = 3\nrecord = r.jsonl\n\n[line2]\n"
          "port = usb:A1, usb:B2\nbaud = 460800\nreset = dtr=0,wait=100,dtr=1\nserial-at = 0x7FF0\n"
          "serial-format = hex:4\nserial-file = n\n")
    write("config_file", "unknown_key.conf", "[default]\nspeed = 9600\n")
    write("config_file", "crlf_twice.conf", "[a]\r\nbaud = 1\r\n[a]\r\nbaud = 2\r\n")

    # Network port names.
    for name, url in [("tcp_v4", "tcp://192.0.2.7:2000"), ("rfc2217_name", "RFC2217://ser2net.example:4001"),
                      ("v6_brackets", "tcp://[::1]:23"), ("v6_zone", "rfc2217://[fe80::1%eth0]:7000"),
                      ("no_port", "tcp://localhost"), ("bare_v6", "tcp://::1:23"), ("port_range", "tcp://h:65536"),
                      ("no_bracket", "tcp://[::1:23"), ("other_scheme", "telnet://h:23")]:
        write("net_address", name, url)

    # What an RFC 2217 server sends. The first byte picks the form: odd, line data whose 0xFF
    # goes out doubled; even, bytes on the wire as they are.
    IAC, SE, SB, WILL, WONT, DO, DONT = 255, 240, 250, 251, 252, 253, 254
    write("telnet", "data_escaped", bytes([1]) + bytes(range(256)) + b"\r\0\r\n")
    write("telnet", "negotiation", bytes([0, IAC, WILL, 44, IAC, DO, 0, IAC, WILL, 3, IAC, DO, 1, IAC, WONT, 0])
          + b"0000=FF\r\n")
    write("telnet", "comport_answers", bytes([0, IAC, SB, 44, 101, 0, 1, 0xC2, 0, IAC, SE, IAC, SB, 44, 105, 8, IAC, SE,
                                              IAC, SB, 44, 107, IAC, IAC, IAC, SE]) + b"U" + bytes([IAC, IAC]))
    write("telnet", "cut_and_stray", bytes([0, 0x41, IAC, 0xF1, IAC, SE, 0x42, IAC, SB, 44, 1, IAC, DONT, 44, IAC]))
    write("telnet", "cr_nul", bytes([0, 13, 0, 13, 10, IAC, WILL, 0, 13, 0, IAC, DONT, 1]))


if __name__ == "__main__":
    main()
