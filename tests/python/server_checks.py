"""Checks of kuvel-counter-server through a real VISA stack (PyVISA with pyvisa-py) and raw
sockets, run by tst_server: server_checks.py CHECK PORT. Exits non-zero with the reason."""

import re
import socket
import sys
import threading
import time

import pyvisa

PORT = int(sys.argv[2])


def open_client(timeout=5000):
    rm = pyvisa.ResourceManager("@py")
    inst = rm.open_resource("TCPIP::127.0.0.1::%d::SOCKET" % PORT,
                            read_termination="\n", write_termination="\n")
    inst.timeout = timeout
    return inst


def expect(condition, what):
    if not condition:
        sys.exit("failed: %s" % what)


def error_code(inst):
    return int(inst.query("SYST:ERR?").split(",", 1)[0])


def counts(inst):
    values = [int(v) for v in inst.query("FETC:COUN?").split(",")]
    expect(len(values) == 4, "four counts")
    return values


def check_every():
    c = open_client()
    idn = c.query("*IDN?").split(",")
    expect(idn[0] == "Kuvel" and len(idn) == 4 and len(idn[2]) == 24, "*IDN? %s" % idn)
    info = c.query("SYSTem:INFormation?")
    expect(info.startswith('"KuvelCounter"') and info.count('","') == 5, info)
    c.write("conf:chan 3")
    expect(c.query("CONFigure:CHANnel?") == "3", "channel read back")
    c.write("CONF:TCON 0.05")
    expect(float(c.query("conf:tcon?")) == 0.05, "time constant read back")
    c.write("CONF:LEV 3,2,1500")
    c.write("INITiate")
    # The simulator numbers its counts answers: each read is a new answer of the device.
    first, second = counts(c)[0], counts(c)[0]
    expect(second > first, "counts read from the device each time: %d, %d" % (first, second))
    c.write("ABOR")
    c.write("*SAV 0")
    expect(c.query("*OPC?") == "1", "*OPC?")
    expect(c.query("*STB?") == "0" and c.query("*ESR?") == "0", "no error so far")
    expect(c.query("SYST:ERR:NEXT?") == '0,"No error"', "empty error queue")
    # Two queries on one line answer on one line.
    expect(c.query("*OPC?;:CONF:CHAN?") == "1;3", "two answers on a line")
    # A line that fails answers nothing: no answer stands in for the failed query's.
    c.write("NO:SUCH?;CONF:CHAN?")
    expect(c.query("*OPC?") == "1" and error_code(c) == -113, "failed line answers nothing")
    # An error sets the status, *CLS clears it.
    c.write("NO:SUCH:COMMAND")
    expect(c.query("*STB?") == "36" and c.query("*ESR?") == "32", "command error in the status")
    c.write("*CLS")
    expect(c.query("*STB?") == "0" and error_code(c) == 0, "*CLS")


def check_interleave():
    a, b = open_client(), open_client()
    a.write("CONF:CHAN 5")
    a.write("CONF:CHAN 0")  # an error for a alone
    problems = []

    def run(inst, query, valid):
        for _ in range(40):
            answer = inst.query(query)
            if not valid(answer):
                problems.append("%s -> %s" % (query, answer))

    threads = [threading.Thread(target=run, args=(a, "CONF:CHAN?", lambda s: s == "5")),
               threading.Thread(target=run, args=(b, "*IDN?", lambda s: s.startswith("Kuvel,")))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    expect(not problems, "answers reached the wrong client: %s" % problems[:3])
    expect(error_code(b) == 0, "b sees no error of a")
    expect(error_code(a) == -222, "a keeps its own error")


def raw_errors(lines, count=3):
    s = socket.create_connection(("127.0.0.1", PORT), timeout=5)
    s.sendall(b"".join(lines) + b";".join([b"SYST:ERR?"] * count) + b"\n")
    answer = s.makefile("rb").readline().decode("utf-8", "replace")
    s.close()
    return [int(code) for code in re.findall(r'(-?\d+),"', answer)]


def check_bad():
    cases = [
        ([b"BOGUS:THING 3\n", b"FETC:COUN\n"], [-113, -113, 0]),
        ([b"CONF:CHAN\n", b"CONF:CHAN 9\n", b"CONF:TCON abc\n"], [-109, -222, -104]),
        ([b"CONF:LEV 1,2\n", b"CONF:LEV 1,5,10\n", b"*IDN? 1\n"], [-109, -222, -108]),
        ([b"CONF:CHAN " + b"9" * 20000 + b"\n"], [-363, 0, 0]),
        ([b"\x00\xff\xfe\x80#!\x1b[2J\n", b"\xff" * 300 + b"\n"], [-100, -100, 0]),
    ]
    cases.append(([b"BOGUS\n"] * 20, [-113] * 15 + [-350, 0]))
    for lines, errors in cases:
        got = raw_errors(lines, len(errors))
        expect(got == errors, "errors %s for %r, not %s" % (got, lines[0][:30], errors))
    # Clients that leave in the middle of their commands.
    for _ in range(3):
        s = socket.create_connection(("127.0.0.1", PORT))
        s.sendall(b"SYST:INF?\n*IDN?\nFETC:COUN?\n")
        s.close()
    # A client that never reads its answers is disconnected, alone.
    s = socket.socket()
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    s.connect(("127.0.0.1", PORT))
    s.settimeout(20)
    chunk = b"SYST:ERR?;SYST:ERR?;SYST:ERR?;SYST:ERR?\n" * 1000
    closed = False
    try:
        for _ in range(1000):
            s.sendall(chunk)
    except (ConnectionResetError, BrokenPipeError):
        closed = True
    expect(closed, "a client that does not read is disconnected")
    c = open_client()
    expect(c.query("*IDN?").startswith("Kuvel,"), "a good client is served afterwards")


def check_readonly():
    c = open_client()
    for write in ["CONF:CHAN 2", "CONF:TCON 1", "CONF:LEV 1,1,100", "*SAV 0"]:
        c.write(write)
        expect(error_code(c) == -203, "%s refused" % write)
    expect(c.query("CONF:CHAN?") in "12345678", "queries still answered")


def check_lost():
    c = open_client(timeout=1500)
    try:
        answer = c.query("FETC:COUN?")
        sys.exit("failed: an answer without the counter: %s" % answer)
    except pyvisa.errors.VisaIOError:
        pass
    expect(error_code(c) == -240, "a hardware error for the lost counter")


def check_back():
    c = open_client()
    expect(len(counts(c)) == 4 and c.query("*IDN?").startswith("Kuvel,"), "counter back")
    expect(error_code(c) == 0, "no error once back")


def check_evil():
    # The counter was replaced by a device whose type holds newlines: its errors name the type,
    # and each answer stays one line, so the next query reads its own answer.
    s = socket.create_connection(("127.0.0.1", PORT), timeout=10)
    answers = s.makefile("rb")
    errors = []
    for _ in range(2):
        s.sendall(b"FETC:COUN?\nSYST:ERR?\n*OPC?\n")
        errors.append(answers.readline().decode())
        expect(answers.readline() == b"1\n", "one line per answer: %s" % errors)
    expect(errors[-1].startswith("-240,") and 'type ""Evil\\n1,2,3,4\\n""' in errors[-1],
           "the type escaped in the error: %s" % errors)


def check_halflines():
    # Clients that send half a command and nothing more lose their slot after --line-timeout
    # (1 s here); a good client behind them is then served.
    socket.create_connection(("127.0.0.1", PORT)).close()
    held = []
    for _ in range(40):
        h = socket.create_connection(("127.0.0.1", PORT))
        h.sendall(b"FETC:CO")
        held.append(h)
    c = open_client(timeout=4000)
    expect(c.query("*OPC?") == "1", "a good client served behind 40 idle ones")
    for h in held:
        h.settimeout(2)
        try:
            expect(h.recv(100) == b"", "an idle half line is closed")
        except ConnectionResetError:
            pass


def check_pymeasure():
    sys.path.insert(0, sys.argv[3])
    from kuvelcounter import KuvelCounter
    counter = KuvelCounter("TCPIP::127.0.0.1::%d::SOCKET" % PORT)
    expect(counter.id.startswith("Kuvel,"), "id")
    counter.channel = 4
    counter.time_constant = 0.02
    counter.set_level(4, 1, 1200)
    expect(counter.channel == 4 and counter.time_constant == 0.02, "settings read back")
    counter.start()
    values = counter.counts
    counter.stop()
    expect(len(values) == 4 and all(isinstance(v, int) for v in values), "counts %s" % values)
    for bad in (9, 2.7, "2", True):
        try:
            counter.channel = bad
            sys.exit("failed: channel %r accepted" % (bad,))
        except ValueError:
            pass
    expect(counter.channel == 4, "a refused channel is never sent")
    # The server's requests for it end the check: tst_server reads them in the counter's log.
    start = time.monotonic()
    values = counter.measure_counts()
    expect(time.monotonic() - start >= 0.02 and len(values) == 4
           and all(isinstance(v, int) for v in values), "MEAS:COUN? %s" % values)
    expect(counter.check_errors() == [], "no errors")


globals()["check_" + sys.argv[1]]()
