"""@brief The instrument for PyMeasure procedures: its settings as PyMeasure properties, and
acquisitions and the histogram through the same driver as tallyscope.Tallyscope.

Imported on its own (``import tallyscope.pymeasure``): ``import tallyscope`` never needs
PyMeasure.
"""

try:
    from pymeasure.adapters import VISAAdapter
    from pymeasure.instruments import Instrument
except ImportError as e:
    raise ImportError("tallyscope.pymeasure needs PyMeasure 0.9 or later (Debian: python3-pymeasure, "
                      "pip: pymeasure); the rest of tallyscope works without it") from e

from .driver import DEFAULT_RESOURCE, Tallyscope, number, whole


def _switch_value(on):
    return 1 if on else 0


def _flag(value):
    # values() has made a float of "1" already.
    return float(value) != 0


class TallyscopeInstrument(Instrument):
    """The control port as a PyMeasure instrument. ``adapter`` is a VISA resource name or a
    PyMeasure VISAAdapter; ``timeout`` (s) bounds ordinary answers. Every command and query
    checks the instrument's error queue, as the driver does, and raises InstrumentError."""

    run = Instrument.control("RUN?", "RUN %d", "The Run box (bool); needs a valid calibration.",
                             get_process=_flag, set_process=_switch_value)
    file = Instrument.control("FILE?", "FILE %d", "Whether a run writes its data file (bool).",
                              get_process=_flag, set_process=_switch_value)
    dac_a = Instrument.control("SOUR:DAC:A?", "SOUR:DAC:A %d",
                               "DAC A code, 0 to 4095 (int), None before the first is sent.",
                               get_process=whole, set_process=int)
    tau_a = Instrument.control("CAL:TAU:A?", "CAL:TAU:A %r", "Tau of channel A in ns (float).",
                               get_process=number, set_process=float)
    tau_b = Instrument.control("CAL:TAU:B?", "CAL:TAU:B %r", "Tau of channel B in ns (float).",
                               get_process=number, set_process=float)
    count = Instrument.measurement("FETC:COUN?", "Records counted in the run or acquisition (int).",
                                   get_process=int)
    calibration_valid = Instrument.measurement("CAL:VAL?", "Whether a run may start (bool).", get_process=_flag)

    def __init__(self, adapter=DEFAULT_RESOURCE, name="Tallyscope", timeout=10.0, **kwargs):
        if isinstance(adapter, str):
            adapter = VISAAdapter(adapter, visa_library="@py", read_termination="\n",
                                  write_termination="\n", timeout=int(timeout * 1000))
        super().__init__(adapter, name, includeSCPI=True, **kwargs)
        self.driver = Tallyscope(adapter.connection, timeout=timeout)

    def write(self, command):
        self.driver.write(command)

    def ask(self, command):
        return self.driver.query(command)

    def values(self, command, separator=",", cast=float, **kwargs):
        """The answer split at ``separator``, each part passed through ``cast`` where it can be
        (the properties convert further)."""
        out = []
        for part in self.ask(command).split(separator):
            try:
                out.append(cast(part))
            except ValueError:
                out.append(part.strip())
        return out

    def check_errors(self):
        """Empties the error queue; every call has raised its errors already."""
        return self.driver.errors()

    def acquire(self, count=None, seconds=None, **kwargs):
        """Tallyscope.acquire(): the bounded acquisition's time differences (ps, numpy int32)."""
        return self.driver.acquire(count=count, seconds=seconds, **kwargs)

    def histogram(self):
        """Tallyscope.histogram(): (edges in ps, counts)."""
        return self.driver.histogram()

    def read_histogram(self, seconds=None, count=None, **kwargs):
        """Tallyscope.read_histogram(): a bounded acquisition's (edges in ps, counts)."""
        return self.driver.read_histogram(seconds=seconds, count=count, **kwargs)

    def shutdown(self):
        self.driver.close()
        self.adapter.connection.close()
        super().shutdown()
