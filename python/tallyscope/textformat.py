"""@brief Plain and verbose record lines read back in bulk, with numpy, refusing any line the panel would not have written.

A plain line is the difference right-aligned in 9 characters (a longer number keeps only its
last 9 characters, sign included), then ", Overrange A!" and/or ", Overrange B!", then CR LF.
A verbose line is the difference grouped by three with the locale's separator, then
" A=<a> B=<b> Offset=<offset> OR/A=<flags mod 16>", the same notes, CR LF. Lines are cut at
their LF bytes once; then each block of lines is checked and converted column by column, so a
file of millions of lines costs a few array passes per block, not a Python step per line. The
first line that fails a check is looked at on its own to say what is wrong with it.
"""

import re

import numpy as np
from numpy.lib.stride_tricks import sliding_window_view

from .errors import FormatError

__all__ = ["read_plain", "read_verbose", "PLAIN_WIDTH"]

PLAIN_WIDTH = 9
NOTE_A = b", Overrange A!"
NOTE_B = b", Overrange B!"
NOTE_LENGTH = len(NOTE_A)
# Lines per block: the temporaries of a block stay within tens of megabytes.
BLOCK_LINES = 1 << 18
# Bytes of zeros around a block, so that fixed-width windows never reach past it.
PAD = 64
_SCAN_BYTES = 1 << 26

_NOTES = rb"(?:, Overrange A!)?(?:, Overrange B!)?"
_PLAIN_LINE = re.compile(rb"[ ]*-?[0-9]+" + _NOTES)
_VERBOSE_LINE = re.compile(rb"-?[0-9]+(?:[^0-9 ]{1,4}[0-9]{3})* A=([0-9]+) B=([0-9]+) Offset=([0-9]+) OR/A=([0-9]+)("
                           + _NOTES + rb")")


class Lines:
    """The complete lines of a buffer, by the positions of their LF bytes, and whether a torn
    line follows them."""

    def __init__(self, buf):
        self.buf = buf
        newlines = [np.flatnonzero(buf[i:i + _SCAN_BYTES] == 10) + i for i in range(0, len(buf), _SCAN_BYTES)]
        # Positions of the LF bytes: where each complete line ends.
        self.ends = np.concatenate(newlines) if newlines else np.zeros(0, dtype=np.int64)
        # A last line without its LF is a write cut short.
        self.torn = len(buf) > 0 and buf[-1] != 10

    def __len__(self):
        return len(self.ends)

    def start(self, i):
        return int(self.ends[i - 1]) + 1 if i > 0 else 0

    def text(self, i):
        """Line i (0-based) with its line end, as bytes; the torn tail for i == len(self)."""
        end = int(self.ends[i]) + 1 if i < len(self) else len(self.buf)
        return bytes(self.buf[self.start(i):end])

    def blocks(self):
        """(first line, line count, padded bytes, starts and CR positions in those bytes)."""
        for first in range(0, len(self), BLOCK_LINES):
            last = min(first + BLOCK_LINES, len(self))
            begin = self.start(first)
            end = int(self.ends[last - 1]) + 1
            block = np.zeros(end - begin + 2 * PAD, dtype=np.uint8)
            block[PAD:PAD + end - begin] = self.buf[begin:end]
            shift = PAD - begin
            ends = self.ends[first:last] + shift
            starts = np.empty_like(ends)
            starts[0] = PAD
            starts[1:] = ends[:-1] + 1
            yield first, last - first, block, starts, ends - 1


def _windows(block, width):
    return sliding_window_view(block, width)


def _ends_in_crlf(block, starts, crs):
    return (crs >= starts) & (block[crs] == 13)


def _unsigned(block, starts, lengths, width):
    """Decimal whole numbers of 1..width digits at starts, without leading zeros: (values, ok)."""
    m = _windows(block, width)[starts]
    col = np.arange(width)
    inside = col < lengths[:, None]
    digit = (m >= 48) & (m <= 57)
    ok = (lengths >= 1) & (lengths <= width) & (digit | ~inside).all(axis=1)
    ok &= (lengths == 1) | (m[:, 0] != 48)
    values = np.zeros(len(starts), dtype=np.int64)
    for c in range(width):
        values = np.where(inside[:, c], values * 10 + (m[:, c] - 48), values)
    return values, ok


def _notes_ok(block, at, with_a, with_b):
    """The overrange notes at `at`: A's if with_a, then B's if with_b (boolean arrays)."""
    notes = _windows(block, NOTE_LENGTH)
    ok = np.ones(len(at), dtype=bool)
    # Most lines have none: only the others are looked at.
    for present, where, note in ((with_a, at, NOTE_A), (with_b, at + NOTE_LENGTH * with_a, NOTE_B)):
        lines = np.flatnonzero(present)
        ok[lines] &= (notes[where[lines]] == np.frombuffer(note, dtype=np.uint8)).all(axis=1)
    return ok


def _plain_fields(field):
    """The differences in an (n, 9) array of plain fields: (values as int32, ok)."""
    digit = (field >= 48) & (field <= 57)
    blank = field == 32
    minus = field == 45
    count = digit.sum(axis=1)
    first_digit = PLAIN_WIDTH - count
    col = np.arange(PLAIN_WIDTH)
    # Blanks, at most one '-' right before the digits, then digits to the end of the field.
    ok = (count >= 1) & (digit == (col >= first_digit[:, None])).all(axis=1)
    ok &= ((blank | minus) | digit).all(axis=1)
    ok &= ~(minus & (col != (first_digit - 1)[:, None])).any(axis=1)
    powers = 10 ** (PLAIN_WIDTH - 1 - col)
    values = (np.where(digit, field.astype(np.int64) - 48, 0) * powers).sum(axis=1)
    values = np.where(minus.any(axis=1), -values, values)
    return values.astype(np.int32), ok


def _plain_block(block, starts, crs):
    lengths = crs - starts
    ok = _ends_in_crlf(block, starts, crs)
    notes = (lengths - PLAIN_WIDTH) // NOTE_LENGTH
    ok &= (lengths >= PLAIN_WIDTH) & ((lengths - PLAIN_WIDTH) % NOTE_LENGTH == 0) & (notes <= 2)
    values, fields_ok = _plain_fields(_windows(block, PLAIN_WIDTH)[starts])
    ok &= fields_ok

    # One note is either; two are A's then B's.
    after = starts + PLAIN_WIDTH
    one = notes == 1
    two = notes == 2
    note_a = np.frombuffer(NOTE_A, dtype=np.uint8)
    first_is_a = (_windows(block, NOTE_LENGTH)[after] == note_a).all(axis=1)
    ok &= _notes_ok(block, after, two | (one & first_is_a), two | (one & ~first_is_a))
    return values, ok


class _Grouping:
    """The verbose difference's separator, learnt from the first number that has one."""

    def __init__(self):
        self.separator = None

    def learn(self, block, content_starts, content_lengths, ends):
        if self.separator is not None:
            return
        long = np.flatnonzero(content_lengths > 3)
        if len(long):
            i = long[0]
            content = bytes(block[content_starts[i]:ends[i]])
            m = re.match(rb"[0-9]{1,3}([^0-9]{1,8})[0-9]", content)
            if m:
                self.separator = m.group(1)

    def parse(self, block, starts, ends):
        """Grouped numbers in [starts, ends): (values as int64, ok)."""
        negative = block[starts] == 45
        content = starts + negative
        lengths = ends - content
        self.learn(block, content, lengths, ends)
        sep = np.frombuffer(self.separator or b"", dtype=np.uint8)
        period = 3 + len(sep) if self.separator is not None else PAD
        width = 10 + 3 * len(sep)
        # Right-aligned in a fixed width: column c holds the character at distance
        # width - 1 - c from the end, whose kind (digit or which separator byte) is fixed.
        m = _windows(block, width)[ends - width]
        distance = width - 1 - np.arange(width)
        phase = distance % period
        is_digit = phase < 3
        expected = np.zeros(width, dtype=np.uint8)
        if len(sep):
            expected[~is_digit] = sep[len(sep) - 1 - (phase[~is_digit] - 3)]
        inside = np.arange(width) >= (width - lengths)[:, None]
        digit = (m >= 48) & (m <= 57)
        cell_ok = np.where(is_digit, digit, m == expected) | ~inside
        ok = (lengths >= 1) & (lengths <= width) & cell_ok.all(axis=1)
        # The leftmost character is a digit, and a zero only in "0" itself.
        leftmost = np.clip(width - lengths, 0, width - 1)
        ok &= is_digit[leftmost] & ((lengths == 1) | (m[np.arange(len(m)), leftmost] != 48))
        digits_right = (distance // period) * 3 + np.minimum(phase, 3)
        powers = np.where(is_digit, 10 ** digits_right.astype(np.int64), 0)
        values = (np.where(inside & digit, m.astype(np.int64) - 48, 0) * powers).sum(axis=1)
        values = np.where(negative, -values, values)
        ok &= ~(negative & (values == 0))
        ok &= (values >= -2 ** 31) & (values < 2 ** 31)
        return values, ok


class _Markers:
    """Where " A=", " B=", " Offset=" and " OR/A=" are in each line of a block; 0 (before every
    line) where one is not. Where one is more than once, one of them: the fields around it
    cannot all be numbers then. Every marker starts with a blank, so the blanks are found once."""

    def __init__(self, block, starts):
        self.block = block
        self.starts = starts
        self.blanks = np.flatnonzero(block[:len(block) - 8] == 32)
        self.after = block[self.blanks + 1]

    def position(self, pattern):
        p = np.frombuffer(pattern, dtype=np.uint8)
        at = self.blanks[self.after == p[1]]
        for k in range(2, len(p)):
            at = at[self.block[at + k] == p[k]]
        lines = np.searchsorted(self.starts, at, side="right") - 1
        keep = lines >= 0
        position = np.zeros(len(self.starts), dtype=np.int64)
        position[lines[keep]] = at[keep]
        return position


def _verbose_block(block, starts, crs, grouping):
    ok = _ends_in_crlf(block, starts, crs)
    markers = _Markers(block, starts)
    pos_a = markers.position(b" A=")
    pos_b = markers.position(b" B=")
    pos_o = markers.position(b" Offset=")
    pos_f = markers.position(b" OR/A=")
    ok &= (starts < pos_a) & (pos_a < pos_b) & (pos_b < pos_o) & (pos_o < pos_f) & (pos_f < crs)
    # Lines that failed so far get harmless positions, so the column reads stay inside the block.
    safe = lambda pos: np.where(ok, pos, starts)  # noqa: E731
    pos_a, pos_b, pos_o, pos_f = safe(pos_a), safe(pos_b), safe(pos_o), safe(pos_f)

    dt, ok_dt = grouping.parse(block, starts, np.where(ok, pos_a, starts + 1))
    a, ok_av = _unsigned(block, pos_a + 3, pos_b - pos_a - 3, 4)
    b, ok_bv = _unsigned(block, pos_b + 3, pos_o - pos_b - 3, 4)
    offset, ok_ov = _unsigned(block, pos_o + 8, pos_f - pos_o - 8, 3)
    # The flags (0..15) are one or two digits, then 0, 1 or 2 notes fill the line.
    tail = np.where(ok, crs - pos_f - 6, 1)
    flag_digits = np.where(tail % NOTE_LENGTH == 2, 2, 1)
    flags, ok_fv = _unsigned(block, pos_f + 6, flag_digits, 2)
    notes_length = tail - flag_digits
    with_a = (flags & 1) == 1
    with_b = (flags & 2) == 2
    ok &= ok_dt & ok_av & ok_bv & ok_ov & ok_fv & (offset <= 255) & (flags <= 15)
    ok &= np.isin(tail % NOTE_LENGTH, (1, 2)) & (notes_length == NOTE_LENGTH * (with_a.astype(int) + with_b))
    ok &= _notes_ok(block, pos_f + 6 + flag_digits, with_a, with_b)
    return dt.astype(np.int32), a.astype(np.int32), b.astype(np.int32), offset.astype(np.int32), flags.astype(np.int32), ok


def _verbose_fault(body, separator):
    """What is wrong with a verbose-looking line (without CR LF), or None when it looks right."""
    m = _VERBOSE_LINE.fullmatch(body)
    if not m:
        return None
    a, b, offset, flags = (int(g) for g in m.groups()[:4])
    if any(len(g) > 1 and g.startswith(b"0") for g in m.groups()[:4]) or a > 4095 or b > 4095 or offset > 255 or flags > 15:
        return "a reading, the offset or OR/A is out of range or has leading zeros"
    notes = (NOTE_A if flags & 1 else b"") + (NOTE_B if flags & 2 else b"")
    if m.group(5) != notes:
        return f"the overrange notes do not agree with OR/A={flags}"
    number = body[:body.index(b" A=")]
    digits = number.lstrip(b"-")
    groups = digits.split(separator) if separator else [digits]
    if not re.fullmatch(rb"[0-9]{1,3}", groups[0]) or any(not re.fullmatch(rb"[0-9]{3}", g) for g in groups[1:]):
        return f"the difference is not grouped by three with the separator {separator!r} of the lines before"
    return "the difference has a leading zero or lies outside the 32-bit range"


def _explain(path, lines, index, kind, separator=None):
    """FormatError for line `index` (0-based), saying what is wrong with it."""
    text = lines.text(index)
    shown = text[:80] + (b"..." if len(text) > 80 else b"")
    number = index + 1
    if index == len(lines):
        if re.fullmatch(rb"[ -~\x80-\xff]*\r?", text):
            return FormatError(path, f"the last line has no CR LF: the file ends inside a line (a torn write?): "
                                     f"{shown!r}", line=number)
        return FormatError(path, f"not a {kind} record line, nor the start of one: {shown!r}", line=number)
    if not text.endswith(b"\r\n"):
        return FormatError(path, f"the line does not end in CR LF: {shown!r}", line=number)
    body = text[:-2]
    if kind == "plain":
        if _VERBOSE_LINE.fullmatch(body):
            return FormatError(path, f"a verbose line in a plain file (was Verbose switched during the run?): {shown!r}",
                               line=number)
        return FormatError(path, f"not a plain record line (difference in {PLAIN_WIDTH} characters, overrange "
                                 f"notes): {shown!r}", line=number)
    if body[:1] == b" " or (len(body) in (9, 23, 37) and _PLAIN_LINE.fullmatch(body)):
        return FormatError(path, f"a plain line in a verbose file (was Verbose switched during the run?): {shown!r}",
                           line=number)
    fault = _verbose_fault(body, separator)
    if fault:
        return FormatError(path, f"{fault}: {shown!r}", line=number)
    return FormatError(path, f"not a verbose record line (grouped difference, A=, B=, Offset=, OR/A=, overrange "
                             f"notes): {shown!r}", line=number)


def _first_bad(ok):
    bad = np.flatnonzero(~ok)
    return int(bad[0]) if len(bad) else None


def _read_fixed_plain(buf):
    """The usual plain file, every line 9 characters and CR LF: read as an (n, 11) array
    without looking for line ends. None when the file is not of that shape."""
    width = PLAIN_WIDTH + 2
    if len(buf) == 0 or len(buf) % width:
        return None
    rows = buf.reshape(-1, width)
    if not ((rows[:, PLAIN_WIDTH] == 13).all() and (rows[:, PLAIN_WIDTH + 1] == 10).all()):
        return None
    out = np.empty(len(rows), dtype=np.int32)
    for first in range(0, len(rows), BLOCK_LINES):
        values, ok = _plain_fields(rows[first:first + BLOCK_LINES, :PLAIN_WIDTH])
        if not ok.all():
            # Told by the general reader, which numbers the lines by their LF bytes.
            return None
        out[first:first + len(values)] = values
    return out


def read_plain(path, buf):
    """dt (int32) of every line of a plain file in buf (uint8 array)."""
    fixed = _read_fixed_plain(buf)
    if fixed is not None:
        return fixed
    lines = Lines(buf)
    out = np.empty(len(lines), dtype=np.int32)
    for first, count, block, starts, crs in lines.blocks():
        values, ok = _plain_block(block, starts, crs)
        bad = _first_bad(ok)
        if bad is not None:
            raise _explain(path, lines, first + bad, "plain")
        out[first:first + count] = values
    if lines.torn:
        raise _explain(path, lines, len(lines), "plain")
    return out


def read_verbose(path, buf):
    """(dt, a, b, offset, flags) (int32 arrays) of every line of a verbose file in buf."""
    lines = Lines(buf)
    columns = [np.empty(len(lines), dtype=np.int32) for _ in range(5)]
    grouping = _Grouping()
    for first, count, block, starts, crs in lines.blocks():
        *values, ok = _verbose_block(block, starts, crs, grouping)
        bad = _first_bad(ok)
        if bad is not None:
            raise _explain(path, lines, first + bad, "verbose", grouping.separator)
        for column, v in zip(columns, values):
            column[first:first + count] = v
    if lines.torn:
        raise _explain(path, lines, len(lines), "verbose")
    return tuple(columns)
