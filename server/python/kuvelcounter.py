"""PyMeasure instrument for the Kuvel photon counter behind kuvel-counter-server.

    from kuvelcounter import KuvelCounter
    counter = KuvelCounter("TCPIP::127.0.0.1::5025::SOCKET")
    counter.channel = 2
    print(counter.measure_counts())
"""

import numbers

from pymeasure.instruments import Instrument
from pymeasure.instruments.validators import strict_discrete_set, strict_range


def _whole(value, values):
    """A whole number among `values`; anything else (2.7, "2", True) is refused with a
    ValueError before anything is sent, not cut to a whole number."""
    if isinstance(value, bool) or not (
            isinstance(value, numbers.Integral)
            or isinstance(value, float) and value.is_integer()):
        raise ValueError("Value of %r is not a whole number" % (value,))
    return int(strict_discrete_set(int(value), values))


class KuvelCounter(Instrument):
    """The counter as kuvel-counter-server serves it: raw SCPI lines over TCP."""

    channel = Instrument.control(
        "CONF:CHAN?", "CONF:CHAN %d",
        """Active channel, 1 to 8.""",
        validator=_whole, values=range(1, 9), cast=int,
    )
    time_constant = Instrument.control(
        "CONF:TCON?", "CONF:TCON %g",
        """Time constant in seconds, 0.01 to 10.""",
        validator=strict_range, values=[0.01, 10],
    )
    counts = Instrument.measurement(
        "FETC:COUN?",
        """The four counts, 1-photon level first.""",
        cast=int,
    )

    def __init__(self, adapter, **kwargs):
        kwargs.setdefault("read_termination", "\n")
        kwargs.setdefault("write_termination", "\n")
        kwargs.setdefault("timeout", 5000)
        super().__init__(adapter, "Kuvel photon counter", includeSCPI=True, **kwargs)

    def set_level(self, channel, level, value):
        """Sets reference level `level` (1 to 4) of `channel` (1 to 8) to `value` (0 to 65535)."""
        _whole(channel, range(1, 9))
        _whole(level, range(1, 5))
        _whole(value, range(0, 65536))
        self.write("CONF:LEV %d,%d,%d" % (channel, level, value))

    def measure_counts(self):
        """Starts counting, waits one time constant and returns the four counts, 1-photon level
        first, as a SCPI MEASure does; counting stops again unless it was on before."""
        connection = self.adapter.connection
        timeout = connection.timeout
        # The answer comes one time constant (up to 10 s) after the query.
        connection.timeout = timeout + 1000 * self.time_constant
        try:
            return [int(v) for v in self.ask("MEAS:COUN?").split(",")]
        finally:
            connection.timeout = timeout

    def start(self):
        """Starts counting."""
        self.write("INIT")

    def stop(self):
        """Stops counting."""
        self.write("ABOR")

    def save(self):
        """Makes the counter store its settings in its EEPROM."""
        self.write("*SAV 0")

    def check_errors(self):
        """Reads the error queue empty; returns the errors as (code, text) pairs."""
        errors = []
        while True:
            code, text = self.ask("SYST:ERR?").strip().split(",", 1)
            if int(code) == 0:
                return errors
            errors.append((int(code), text.strip('"')))
