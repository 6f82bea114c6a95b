"""@brief The control port from Python: settings as properties, bounded acquisitions as numpy
arrays, the lock, and every error on the instrument's queue raised as an exception.

Times are in picoseconds (ps) unless a name says otherwise: Tau in nanoseconds (ns), bounds and
timeouts in seconds (s).
"""

import re
import time

import numpy as np

DEFAULT_RESOURCE = "TCPIP::127.0.0.1::5025::SOCKET"

# SCPI's not-a-number: what the instrument answers for a figure it does not have.
_NOT_A_NUMBER = 9.91e37
# A full queue holds 32 errors; a few more allow for ones queued while it drains.
_MOST_ERRORS = 40
_LOCK_RETRY_S = 0.05
# What one read asks for while the answer's text and block headers are parsed.
_HEAD_BYTES = 4096
# A block goes into its array in pieces of this size: PyVISA holds each piece once more.
_BULK_BYTES = 1 << 22

_ERROR_ANSWER = re.compile(r'([+-]?\d+),"(.*)"', re.DOTALL)
_FIELD_END = re.compile(rb'["\n;]')


def _socket_session(resource):
    """pyvisa-py's session of a TCPIP socket resource, when it keeps its socket and read-ahead
    as this module knows them; None for any other VISA library or version."""
    import socket

    try:
        session = resource.visalib.sessions[resource.session]
        if isinstance(session.interface, socket.socket) and isinstance(session._pending_buffer, bytearray):
            return session
    except (AttributeError, KeyError, TypeError):
        pass
    return None


class InstrumentError(Exception):
    """An error from the instrument's queue: ``code`` (negative SCPI number), ``text``, and the
    errors queued behind it in ``others``. ``result`` holds what the call got all the same
    (a READ whose acquisition ended early keeps its values), or None."""

    def __init__(self, code, text, others=(), result=None):
        super().__init__(f"{code}: {text}")
        self.code = int(code)
        self.text = text
        self.others = list(others)
        self.result = result


class LockedError(InstrumentError):
    """Another client holds the lock; ``owner`` is its "host:port"."""

    def __init__(self, owner):
        super().__init__(-200, f"Execution error;locked by another client ({owner or 'unknown'})")
        self.owner = owner


def quote(text):
    """A string parameter: double quotes, a doubled quote for each one inside."""
    text = str(text)
    if "\n" in text or "\r" in text:
        raise ValueError("a line break cannot be sent inside a command")
    return '"' + text.replace('"', '""') + '"'


def unquote(answer):
    if len(answer) < 2 or answer[0] != '"' or answer[-1] != '"':
        raise ValueError(f"not a quoted string: {answer!r}")
    return answer[1:-1].replace('""', '"')


def number(answer):
    """A figure as float, None for the instrument's not-a-number."""
    value = float(answer)
    return None if abs(value) >= _NOT_A_NUMBER * 0.999 else value


def whole(answer):
    value = number(answer)
    return None if value is None else int(round(value))


def flag(answer):
    return answer.strip() == "1"


def _error_answer(answer):
    m = _ERROR_ANSWER.fullmatch(answer.strip())
    if not m:
        raise ConnectionError(f"not an answer to SYST:ERR?: {answer!r}")
    return int(m.group(1)), m.group(2).replace('""', '"')


def histogram_edges(axis):
    """The bin edges (ps, count + 1 of them) from HIST:AXIS? "first edge,nominal width,count".

    The instrument lays nominal edges on the lattice -0.5 + k * width and moves each into the
    gap between the two values a record can take around it, a record on an edge going below.
    Records are whole ps, so each edge after the first is the lattice's taken down to the next
    half ps: it parts the records as the instrument's does, and none lies on it. While only a
    few records have come, the gaps can be wider than a bin and the instrument's bins wider
    than these; if the first edge moved past the next one, the edges are the plain lattice
    from the first.
    """
    first, width, count = (float(x) for x in axis.split(","))
    steps = np.arange(int(count) + 1, dtype=np.float64)
    if width <= 0:
        return np.full(1, first)
    k = round((first + 0.5) / width)
    edges = np.floor(-0.5 + width * (k + steps)) + 0.5
    if len(edges) > 1 and edges[1] <= first:
        return first + width * steps
    edges[0] = first
    return edges


def _setting(header, doc, convert, send):
    """A property read with "<header>?" through ``convert`` and set with "<header> <send(value)>"."""

    def get(self):
        return convert(self._query(f"{header}?"))

    def set_(self, value):
        self._exchange(f"{header} {send(value)}")

    return property(get, set_, doc=doc)


def _switch(header, doc):
    return _setting(header, doc, flag, lambda on: "ON" if on else "OFF")


def _figure(header, doc, convert, send):
    def checked(value):
        if value is None:
            raise ValueError(f"{header} needs a value")
        return send(value)

    return _setting(header, doc, convert, checked)


def _text(header, doc):
    return _setting(header, doc, unquote, quote)


class _Answer:
    """Reads one answer line field by field: text up to ";" or the line's end outside quotes, or
    an IEEE 488.2 block "#<n><length><bytes>", whose bytes may hold either."""

    def __init__(self, resource):
        self._resource = resource
        self._buffer = bytearray()
        self._at = 0

    def _more(self):
        # Stops at a line end, so it never reads into an answer that belongs to a later call.
        got = self._resource.read_bytes(_HEAD_BYTES, break_on_termchar=True)
        if not got:
            raise ConnectionError("the instrument closed the connection")
        self._buffer += got

    def _need(self, count):
        while len(self._buffer) - self._at < count:
            self._more()

    def field(self):
        """(text, or a block's bytes as a numpy uint8 array; the character that ended it: ";" or
        "\\n")."""
        if self._at > _HEAD_BYTES:
            # Between fields only: a field's parsing holds offsets into the buffer.
            del self._buffer[: self._at]
            self._at = 0
        self._need(1)
        if self._buffer[self._at] == ord("#"):
            return self._block()
        start, scan, quoted = self._at, self._at, False
        while True:
            m = _FIELD_END.search(self._buffer, scan)
            if m is None:
                scan = len(self._buffer)
                self._more()
                continue
            scan = m.end()
            if m.group() == b'"':
                quoted = not quoted
            elif not quoted:
                self._at = scan
                return self._buffer[start:m.start()].decode("utf-8", "replace"), m.group().decode()

    def _block(self):
        self._need(2)
        digits = self._buffer[self._at + 1] - ord("0")
        if not 1 <= digits <= 9:
            raise ConnectionError("a block of unstated length")
        self._need(2 + digits)
        length = int(self._buffer[self._at + 2:self._at + 2 + digits])
        start = self._at + 2 + digits
        have = min(length, len(self._buffer) - start)
        data = np.empty(length, dtype=np.uint8)
        data[:have] = np.frombuffer(self._buffer, np.uint8, have, start)
        self._at = start + have
        if have < length:
            self._read_into(memoryview(data)[have:])
        self._need(1)
        end = chr(self._buffer[self._at])
        self._at += 1
        return data, end

    def _read_into(self, view):
        session = _socket_session(self._resource)
        if session is not None:
            self._read_socket_into(session, view)
        else:
            self._read_visa_into(view)

    def _read_socket_into(self, session, view):
        # pyvisa-py reads a socket 4 KiB at a time, through a buffer it copies on every read: for a
        # whole ring that is most of the time. The block goes straight from the socket into the
        # array instead, after what the session has already read ahead.
        import select

        pending = session._pending_buffer
        got = min(len(pending), len(view))
        view[:got] = pending[:got]
        del pending[:got]
        sock = session.interface
        limit = self._resource.timeout / 1000.0 if self._resource.timeout else None
        deadline = None if limit is None else time.monotonic() + limit
        while got < len(view):
            wait = None if deadline is None else max(0.0, deadline - time.monotonic())
            ready, _, _ = select.select([sock], [], [], wait)
            if not ready:
                raise TimeoutError("the block stopped arriving")
            try:
                n = sock.recv_into(view[got:], min(_BULK_BYTES, len(view) - got))
            except BlockingIOError:
                continue
            if n == 0:
                raise ConnectionError("the instrument closed the connection inside a block")
            got += n
            if deadline is not None:
                deadline = time.monotonic() + limit

    def _read_visa_into(self, view):
        # Binary values hold line ends; reading up to each would cost a call per few hundred
        # bytes, so the line end is no end for as long as the block's known length lasts. The
        # pieces go straight into the array: PyVISA's read_bytes copies each twice more.
        from pyvisa import constants

        resource = self._resource
        attribute = constants.ResourceAttribute.termchar_enabled
        resource.set_visa_attribute(attribute, constants.VI_FALSE)
        try:
            with resource.ignore_warning(constants.StatusCode.success_max_count_read):
                got = 0
                while got < len(view):
                    piece, _ = resource.visalib.read(resource.session, min(_BULK_BYTES, len(view) - got))
                    if not piece:
                        raise ConnectionError("the instrument closed the connection inside a block")
                    view[got:got + len(piece)] = piece
                    got += len(piece)
        finally:
            resource.set_visa_attribute(attribute, constants.VI_TRUE)

    def line(self):
        """The rest of the line as text (an answer to SYST:ERR? may hold ";" inside its quotes)."""
        parts = []
        while True:
            text, end = self.field()
            parts.append(text)
            if end == "\n":
                return ";".join(parts)


class Tallyscope:
    """One client of the control port of ``tallyscope`` or ``tallyscope-server``.

    ``resource`` is a VISA resource name, or a PyVISA message-based resource already open (its
    closing is then the caller's business). ``timeout`` (s) bounds every answer that does not
    wait for an acquisition or a calibration. Usable as a context manager: leaving it releases
    the lock if this client holds it, and closes the connection.

    Every call checks the instrument's error queue in the same round trip and raises
    InstrumentError for the first error, the rest in its ``others``. A call cut short by a
    timeout or an interruption leaves the connection out of step: later calls raise
    ConnectionError, and a new Tallyscope is the way on.
    """

    def __init__(self, resource=DEFAULT_RESOURCE, *, timeout=10.0, resource_manager=None):
        self._owned = isinstance(resource, str)
        if self._owned:
            if resource_manager is None:
                import pyvisa

                # PyVISA hands every caller the same manager of a library: closing it would
                # close the other connections too, so it is left open.
                resource_manager = pyvisa.ResourceManager("@py")
            resource = resource_manager.open_resource(resource)
        self._resource = resource
        self._resource.read_termination = "\n"
        self._resource.write_termination = "\n"
        self.timeout = timeout
        self._holds_lock = False
        self._out_of_step = False

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        try:
            if self._holds_lock and not self._out_of_step and self._resource is not None:
                self.unlock()
        finally:
            self.close()

    def close(self):
        """Closes the connection (the instrument then releases a lock it held)."""
        if self._owned and self._resource is not None:
            self._resource.close()
        self._resource = None

    @property
    def timeout(self):
        """Seconds to wait for an ordinary answer."""
        return self._timeout

    @timeout.setter
    def timeout(self, seconds):
        self._timeout = float(seconds)
        self._resource.timeout = int(self._timeout * 1000)

    # ---- the exchange -------------------------------------------------------------------

    def _exchange(self, line, seconds=None):
        """Sends one line of commands and returns its answers (text, or a block's uint8 array).

        The line goes out behind SYST:ERR:COUN?, whose answer every line carries even when a
        command in it is refused at parsing, which drops the rest of the line; SYST:ERR? follows
        on a line of its own, which such a refusal cannot take with it. Both go in one write, so
        it is one round trip. A line refused whole (an unclosed quote, a line too long) answers
        nothing; the first answer read is then the error's, which a count never looks like.
        """
        if self._out_of_step:
            raise ConnectionError("the connection is out of step after an interrupted call; open a new one")
        if self._resource is None:
            raise ConnectionError("the connection is closed")
        line = line.strip()
        if "\n" in line or "\r" in line:
            raise ValueError("one line of commands at a time")
        if not line.startswith((":", "*")):
            line = ":" + line
        if seconds is not None:
            self._resource.timeout = int((seconds + self._timeout) * 1000)
        try:
            self._resource.write(f"SYST:ERR:COUN?;{line}\nSYST:ERR?")
            answer = _Answer(self._resource)
            first, end = answer.field()
            fields = []
            if first.isdigit():
                while end != "\n":
                    value, end = answer.field()
                    fields.append(value)
                error = answer.line()
            else:
                error = first if end == "\n" else first + ";" + answer.line()
            code, text = _error_answer(error)
            others = self._drain_errors() if code else []
        except BaseException:
            self._out_of_step = True
            raise
        finally:
            if seconds is not None and self._resource is not None:
                self._resource.timeout = int(self._timeout * 1000)
        if code:
            raise InstrumentError(code, text, others, fields)
        return fields

    def _drain_errors(self):
        others = []
        for _ in range(_MOST_ERRORS):
            code, text = _error_answer(self._resource.query("SYST:ERR?"))
            if not code:
                break
            others.append(InstrumentError(code, text))
        return others

    def _query(self, line, seconds=None):
        """The single answer of a line that asks one thing."""
        fields = self._exchange(line, seconds)
        if len(fields) != 1:
            raise ConnectionError(f"{line!r} answered {len(fields)} fields")
        return fields[0]

    def write(self, command):
        """Sends a line of commands (";" between them); raises InstrumentError for an error."""
        self._exchange(command)

    def query(self, command):
        """Sends a line of commands with queries and returns their answers as text, joined by
        ";" as the instrument sends them; raises InstrumentError for an error. Blocks have their
        own methods (fetch_dt, histogram)."""
        fields = self._exchange(command)
        if any(not isinstance(f, str) for f in fields):
            raise ValueError("binary blocks are read by fetch_dt(), histogram() and acquire()")
        return ";".join(fields)

    def errors(self):
        """Empties this client's error queue: a list of InstrumentError, oldest first."""
        try:
            return self._drain_errors()
        except BaseException:
            self._out_of_step = True
            raise

    # ---- settings -------------------------------------------------------------------------

    run = _switch("RUN", "The Run box, with the data file when ``file`` is on (bool). Needs a valid calibration.")
    file = _switch("FILE", "Whether a run writes its data file (bool).")
    display = _switch("DISP", "Whether the window plots the records (bool).")
    verbose = _switch("FILE:VERB", "Verbose data file lines (bool).")
    raw = _switch("FILE:RAW", "Raw data file lines (bool).")
    dac_a = _figure("SOUR:DAC:A", "DAC A, the code last sent, 0 to 4095 (int), None before the first; "
                    "setting it needs the instrument connected.", whole, lambda v: str(int(v)))
    tau_a = _figure("CAL:TAU:A", "Tau of channel A in ns (float), 0.001 to 1,000,000.", number,
                    lambda v: repr(float(v)))
    tau_b = _figure("CAL:TAU:B", "Tau of channel B in ns (float), 0.001 to 1,000,000.", number,
                    lambda v: repr(float(v)))
    data_folder = _text("FILE:PATH", "The folder the data files go to (str): an existing, writable folder.")
    address = _text("CONN:ADDR", "The instrument's host (str); setting it reconnects, ending a run "
                    "and voiding the calibration.")

    @property
    def connected(self):
        """Whether the link to the instrument is up (bool)."""
        return flag(self._query("CONN:STAT?"))

    @property
    def idn(self):
        """``*IDN?``: "maker,model,FPGA version,panel version"."""
        return self._query("*IDN?")

    @property
    def calibration_valid(self):
        """Whether every calibration cell lies inside its window, so that a run may start (bool)."""
        return flag(self._query("CAL:VAL?"))

    def operation_condition(self):
        """STATus:OPERation:CONDition?: bit 0 (1) calibrating, bit 4 (16) measuring."""
        return int(self._query("STAT:OPER:COND?"))

    # ---- calibration and acquisitions ---------------------------------------------------------

    def calibrate(self, wait=True, seconds=60.0):
        """Calibrates; with ``wait``, returns whether the calibration is valid once it has
        ended (waiting at most ``seconds`` more than the timeout), else None at once."""
        if not wait:
            self._exchange("CAL")
            return None
        _, valid = self._exchange("CAL;*OPC?;:CAL:VAL?", seconds)
        return flag(valid)

    def _bounded_read(self, query, count, seconds, timeout, after=""):
        if count is not None and (int(count) != count or count < 0):
            raise ValueError("count: a whole number of records, at least 0")
        if not count and not seconds:
            raise ValueError("an acquisition needs a count or a time bound")
        line = (f"ACQ:COUN {int(count or 0)};TIME {float(seconds or 0)!r};:FORM INT;:{query};:FORM ASC{after}")
        return self._exchange(line, float(seconds or 0) if timeout is None else timeout)

    def acquire(self, count=None, seconds=None, *, timeout=None):
        """A bounded acquisition (READ:DT?): the time differences in ps (numpy int32), exactly
        the first ``count`` records, or those of the first ``seconds`` from the first record's
        arrival (1 ms resolution), whichever bound comes first. A run must be off and the
        calibration valid. Waits ``timeout`` s more than the connection's timeout (default:
        ``seconds``; give it for a count that takes long at the instrument's rate).

        An acquisition that ended early (another client's ABOR, the operator, a lost link)
        raises InstrumentError -231 with the values it got in ``result``."""
        try:
            (block,) = self._bounded_read("READ:DT?", count, seconds, timeout)
        except InstrumentError as e:
            e.result = _int32(e.result[0]) if _has_block(e.result, 0) else None
            raise
        return _int32(block)

    def read_histogram(self, seconds=None, count=None, *, timeout=None):
        """A bounded acquisition (READ:HISTogram?), as acquire(), answered as its histogram:
        (edges in ps, float64, one more than the bins; counts, int64)."""
        try:
            block, axis = self._bounded_read("READ:HIST?", count, seconds, timeout, ";:HIST:AXIS?")
        except InstrumentError as e:
            e.result = _histogram(e.result[1], e.result[0]) if _has_block(e.result, 0) and len(e.result) == 2 else None
            raise
        return _histogram(axis, block)

    def abort(self):
        """Ends the acquisition under way (this client's, or another's)."""
        self._exchange("ABOR")

    def fetch_dt(self, max=None):
        """The time differences (ps, numpy int32) decoded since this client's previous fetch or
        acquisition start, oldest first, at most ``max`` of them; an empty array when none."""
        argument = "" if max is None else f" {int(max)}"
        (block,) = self._exchange(f"FORM INT;:FETC:DT?{argument};:FORM ASC")
        return _int32(block)

    def histogram(self):
        """The histogram as it stands: (edges in ps, float64, one more than the bins; counts,
        int64). With HIST:RANG:ALL ON the counts sum to the run's count."""
        axis, block = self._exchange("HIST:AXIS?;:FORM INT;:HIST:DATA?;:FORM ASC")
        return _histogram(axis, block)

    def statistics(self):
        """FETCh:STATistics? of the run: {"count", "min_ps", "max_ps", "range_ps"}; None for
        what is unknown without records."""
        count, low, high, span = self._query("FETC:STAT?").split(",")
        return {"count": int(count), "min_ps": whole(low), "max_ps": whole(high), "range_ps": whole(span)}

    def histogram_statistics(self):
        """HIST:STAT?: {"count", "mean_ps", "std_dev_ps", "fwhm_ps", "in_window"}; None for what
        is unknown (no records, one record, no peak)."""
        count, mean, std, fwhm, inside = self._query("HIST:STAT?").split(",")
        return {"count": int(count), "mean_ps": number(mean), "std_dev_ps": number(std), "fwhm_ps": number(fwhm),
                "in_window": int(inside)}

    def link_health(self):
        """LINK:HEALth? since the run started: records and bytes per second (float), and counts
        of records rejected by the gate and by plausibility, bytes dropped to resynchronise,
        errors and reconnects."""
        f = self._query("LINK:HEAL?").split(",")
        return {"records_per_s": float(f[0]), "bytes_per_s": float(f[1]), "rejected_by_gate": int(f[2]),
                "rejected_by_plausibility": int(f[3]), "resync_bytes": int(f[4]), "errors": int(f[5]),
                "reconnects": int(f[6])}

    # ---- the lock ------------------------------------------------------------------------------

    def lock(self, timeout=None):
        """Takes the lock, under which other clients' changes fail with -200. Raises LockedError
        naming the owner while another client holds it; with ``timeout`` (s), asks again every
        50 ms until then. Returns a context manager that releases the lock on exit."""
        deadline = time.monotonic() + (timeout or 0.0)
        for _ in range(int((timeout or 0.0) / _LOCK_RETRY_S) + 1):
            held, owner = self._exchange("SYST:LOCK:REQ?;OWN?")
            if flag(held):
                self._holds_lock = True
                return _Held(self)
            if time.monotonic() + _LOCK_RETRY_S > deadline:
                break
            time.sleep(_LOCK_RETRY_S)
        raise LockedError(unquote(owner))

    def unlock(self):
        """Releases the lock this client holds (nothing if it holds none)."""
        self._exchange("SYST:LOCK:REL")
        self._holds_lock = False

    @property
    def lock_owner(self):
        """The lock holder's "host:port", "" when nobody holds it."""
        return unquote(self._query("SYST:LOCK:OWN?"))


class _Held:
    def __init__(self, instrument):
        self._instrument = instrument

    def __enter__(self):
        return self._instrument

    def __exit__(self, *exc):
        self._instrument.unlock()


def _has_block(fields, index):
    return fields is not None and len(fields) > index and not isinstance(fields[index], str)


def _int32(block):
    return block.view("<i4")


def _histogram(axis, block):
    counts = block.view("<i8")
    edges = histogram_edges(axis)
    if len(edges) != len(counts) + 1:
        raise ConnectionError(f"HIST:AXIS? {axis!r} for {len(counts)} bins")
    return edges, counts
