"""kuvel-counter-tango as a process serving two simulated counters from a file database,
driven by Debian's PyTango: tango_checks.py SIMULATOR SERVER. Exits 77 (skipped) without
python3-tango."""

import os
import re
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

try:
    import tango
except ImportError:
    print("python3-tango is not installed: skipped")
    sys.exit(77)

SIMULATOR, SERVER = sys.argv[1], sys.argv[2]
WAIT = 10


class Sim:
    """A simulated counter numbering its counts answers, with its log."""

    def __init__(self, folder, name):
        self.log = os.path.join(folder, name + ".log")
        self.process = subprocess.Popen([SIMULATOR, "--numbered-counts", "--log", self.log],
                                        stdout=subprocess.PIPE, text=True)
        self.port = self.process.stdout.readline().strip()

    def lines(self):
        with open(self.log) as f:
            return f.read().splitlines()

    def requests(self, since=0):
        """The command codes of the requests after line `since`, as upper-case hex."""
        return [l.split()[2].upper() for l in self.lines()[since:] if l.split()[1:2] == ["rx"]]

    def counts_sent(self):
        return [[int(v) for v in m.group(1).split(",")]
                for m in map(re.compile(r" counts=([\d,]+)").search, self.lines()) if m]

    def toggle_silence(self):
        before = sum(" ctl silent=" in l for l in self.lines())
        self.process.send_signal(signal.SIGUSR1)
        deadline = time.monotonic() + WAIT
        while sum(" ctl silent=" in l for l in self.lines()) == before:
            assert time.monotonic() < deadline, "the simulator did not switch its silence"
            time.sleep(0.01)

    def stop(self):
        self.process.terminate()
        self.process.wait(WAIT)


def setUpModule():
    global folder, sims, server, devices
    folder = tempfile.TemporaryDirectory()
    sims = [Sim(folder.name, "sim1"), Sim(folder.name, "sim2")]
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    database = os.path.join(folder.name, "counters.db")
    with open(database, "w") as f:
        f.write('kuvel-counter-tango/test/DEVICE/KuvelCounter: "kuvel/counter/1", '
                '"kuvel/counter/2"\n'
                "kuvel/counter/1->Port: %s\n"
                "kuvel/counter/2->Port: %s\n"
                "kuvel/counter/2->Attempts: 2\n" % (sims[0].port, sims[1].port))
    server = subprocess.Popen([SERVER, "test", "-file=" + database, "-ORBendPoint",
                               "giop:tcp:127.0.0.1:%d" % port],
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    for line in server.stdout:
        if "Ready to accept request" in line:
            break
    else:
        raise RuntimeError("the server did not start")
    devices = [tango.DeviceProxy("tango://127.0.0.1:%d/kuvel/counter/%d#dbase=no" % (port, i))
               for i in (1, 2)]
    for device in devices:
        device.set_timeout_millis(WAIT * 1000)
        # INIT while it opens the port and identifies the counter.
        deadline = time.monotonic() + WAIT
        while device.state() == tango.DevState.INIT and time.monotonic() < deadline:
            time.sleep(0.01)


def tearDownModule():
    server.terminate()
    code = server.wait(WAIT)
    for sim in sims:
        sim.stop()
    folder.cleanup()
    # A server that does not end cleanly on SIGTERM is a fault of its own.
    assert code == 0, "the server ended with %d" % code


class TangoChecks(unittest.TestCase):
    def setUp(self):
        self.device = devices[0]
        self.sim = sims[0]
        self.since = len(self.sim.lines())

    def tearDown(self):
        # Whatever a check left counting or scanning stops.
        devices[0].Stop()

    def test_attributes_and_commands_reach_the_counter(self):
        d = self.device
        self.assertEqual(d.state(), tango.DevState.ON, d.status())
        d.Channel = 3
        self.assertEqual(d.Channel, 3)
        d.TimeConstant = 0.05
        self.assertEqual(d.TimeConstant, 0.05)
        d.SetLevel([3, 2, 1500])
        d.Start()
        self.assertEqual(d.state(), tango.DevState.RUNNING)
        first, second = d.Counts.tolist(), d.Counts.tolist()
        d.Stop()
        d.Save()
        requests = self.sim.requests(self.since)
        self.assertEqual([r for r in requests if r != "17"],
                         ["13", "14", "11", "12", "10", "12", "15", "16", "0C"])
        # Each read is an answer the counter sent, a later one each time.
        sent = self.sim.counts_sent()
        self.assertIn(first, sent)
        self.assertIn(second, sent)
        self.assertGreater(second[0], first[0])

        d.TimeConstant = 0.01
        d.Scan([2, 0, 2000, 500])
        deadline = time.monotonic() + WAIT
        while d.ScanProgress < 100:
            self.assertLess(time.monotonic(), deadline, d.status())
            time.sleep(0.02)
        points = d.ScanPoints
        self.assertEqual(points.shape, (20, 3))
        self.assertEqual(sorted(set(points[:, 0])), [1, 2, 3, 4])
        self.assertEqual(len(d.ScanLevels), 4)
        self.assertIn("complete", d.status())

    def test_change_events_while_counting_each_a_new_reading(self):
        d = self.device
        d.TimeConstant = 0.01
        d.Start()
        events = []
        subscription = d.subscribe_event("Counts", tango.EventType.CHANGE_EVENT, events.append)
        time.sleep(0.5)
        d.unsubscribe_event(subscription)
        d.Stop()
        self.assertFalse([e for e in events if e.err])
        counts = [e.attr_value.value.tolist() for e in events]
        self.assertGreater(len(counts), 10)
        # The first event is the value the subscription reads itself, a reading of its own that
        # may overtake one already on its way; every pushed one after it is newer than the last.
        numbers = [c[0] for c in counts]
        self.assertEqual(len(numbers), len(set(numbers)))
        self.assertEqual(numbers[1:], sorted(numbers[1:]))
        sent = self.sim.counts_sent()
        self.assertFalse([c for c in counts if c not in sent])

    def test_bad_values_send_nothing(self):
        d = self.device
        writes = [("Channel", 0), ("Channel", 9), ("TimeConstant", 0.001),
                  ("TimeConstant", 11)]
        commands = [("SetLevel", [9, 1, 1]), ("SetLevel", [1, 0, 1]),
                    ("SetLevel", [1, 1, 65536]), ("SetLevel", [1, 1]),
                    ("Scan", [0, 0, 10, 1]), ("Scan", [1, 0, 10, 0]),
                    ("Scan", [1, 0, 70000, 1])]
        for name, value in writes:
            with self.assertRaises(tango.DevFailed, msg="%s = %s" % (name, value)):
                d.write_attribute(name, value)
        for name, value in commands:
            with self.assertRaises(tango.DevFailed, msg="%s %s" % (name, value)):
                d.command_inout(name, value)
        self.assertEqual(self.sim.requests(self.since), [])

    def test_silent_counter_faults_alone(self):
        quiet, other = devices[1], devices[0]
        before = quiet.Counts[0]
        sims[1].toggle_silence()
        outcome = {}

        def read_quiet():
            try:
                outcome["value"] = quiet.Counts
            except tango.DevFailed as e:
                outcome["error"] = e.args[0].desc

        reader = threading.Thread(target=read_quiet)
        reader.start()
        time.sleep(0.1)
        started = time.monotonic()
        other.Counts
        self.assertLess(time.monotonic() - started, 0.5, "the other counter waited")
        self.assertTrue(reader.is_alive())
        reader.join()
        sims[1].toggle_silence()
        self.assertNotIn("value", outcome)
        self.assertIn("no answer", outcome["error"])
        self.assertEqual(quiet.state(), tango.DevState.FAULT)
        self.assertIn("no answer", quiet.status())
        # Back with a new reading, not the one from before the silence.
        self.assertGreater(quiet.Counts[0], before)
        self.assertEqual(quiet.state(), tango.DevState.ON)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
