"""@brief The two ways the panel reads a number from a text, for the calibration and Tau texts a sidecar keeps.

The panel opens its record gate on the four calibration cells read as *leading numbers*
(locale-blind, forgiving), and converts with the cells and Tau read as *strict numbers* (the
whole text, in the run's locale, then in the C locale). A raw file decodes to the panel's
values only if both readings are the panel's, so both are reproduced here, quirks included.

The locale part follows Qt's number reading as the panel's build does it, for the locales in
`_LOCALES`: the decimal sign, the group separator, and the least number of digits before the
first separator (2 in Spanish, Polish and European Portuguese, which do not group four-digit
numbers). Separators that are spaces are interchangeable (blank, no-break space, narrow
no-break space). A locale name that is not in the table and not the C locale is read every
likely way; when the readings disagree the text cannot be read safely and UnknownLocale says so.
"""

import math
import re

__all__ = ["leading_number", "strict_number", "UnknownLocale"]

_SPACES = frozenset(" \u00a0\u202f")
_MINUS = "-\u2212"

# (decimal sign, group separators, least digits before the first separator)
_DOT = (".", frozenset(","), 1)
_COMMA_DOT = (",", frozenset("."), 1)
_COMMA_SPACE = (",", _SPACES, 1)
_SWISS = (".", frozenset("\u2019"), 1)

_LANGUAGES = {
    "C": _DOT, "en": _DOT, "ja": _DOT, "zh": _DOT, "ko": _DOT, "he": _DOT, "th": _DOT,
    "de": _COMMA_DOT, "it": _COMMA_DOT, "nl": _COMMA_DOT, "da": _COMMA_DOT, "tr": _COMMA_DOT,
    "id": _COMMA_DOT, "el": _COMMA_DOT,
    "es": (",", frozenset("."), 2),
    "pt": _COMMA_DOT,
    "fr": _COMMA_SPACE, "sv": _COMMA_SPACE, "nb": _COMMA_SPACE, "nn": _COMMA_SPACE, "fi": _COMMA_SPACE,
    "ru": _COMMA_SPACE, "uk": _COMMA_SPACE, "cs": _COMMA_SPACE, "sk": _COMMA_SPACE, "hu": _COMMA_SPACE,
    "pl": (",", _SPACES, 2),
}
_TERRITORIES = {
    "de_AT": _COMMA_SPACE, "de_CH": _SWISS, "de_LI": _SWISS, "it_CH": _SWISS,
    "es_MX": _DOT, "es_US": _DOT, "pt_PT": (",", _SPACES, 2),
}
# What a locale nobody listed may be: its reading must agree under each of these.
_CANDIDATES = (_DOT, _COMMA_DOT, _COMMA_SPACE, _SWISS)


class UnknownLocale(ValueError):
    """A text whose value depends on a locale this reader has no numbers for."""


def _locale_numbers(name):
    """The table entry for a QLocale name such as "de_DE"; None when it is not known."""
    if not name or name in ("C", "POSIX"):
        return _DOT
    if name in _TERRITORIES:
        return _TERRITORIES[name]
    language = name.split("_")[0]
    if not re.fullmatch(r"[a-z]{2,3}", language):
        # Qt reads a name that is no locale as the C locale.
        return _DOT
    return _LANGUAGES.get(language)


_LEADING_NUMBER = re.compile(r"[+-]?([0-9]*)(\.?)([0-9]*)")


def leading_number(text):
    """Blanks, tabs and line feeds dropped anywhere, then the longest leading number: sign,
    digits with at most one '.', exponent by 'E' or 'D' (with at least one digit); or the
    &H / &O radix forms. A text without a leading number reads as 0 ("12ab" -> 12)."""
    s = "".join(c for c in text if c not in " \t\n")
    if len(s) >= 2 and s[0] == "&":
        radix = {"H": 16, "O": 8}.get(s[1].upper())
        if radix is None:
            return 0.0
        value = 0.0
        for c in s[2:]:
            digit = int(c, 16) if c in "0123456789abcdefABCDEF" else -1
            if digit < 0 or digit >= radix:
                break
            value = value * radix + digit
        return value
    m = _LEADING_NUMBER.match(s)
    if not (m.group(1) or m.group(3)):
        return 0.0
    number = m.group(0)
    exponent = re.match(r"[eEdD]([+-]?[0-9]+)", s[m.end():])
    if exponent:
        number += "e" + exponent.group(1)
    # Too large a magnitude reads as infinity and too small as zero, both with their sign:
    # what float() does too.
    return float(number)


def _read_localized(text, numbers):
    """text (trimmed) read with one locale's signs; None where Qt would refuse it."""
    decimal, groups, least = numbers
    i = 0
    sign = ""
    if text[:1] in ("+", *_MINUS):
        sign = "-" if text[0] in _MINUS else ""
        i = 1
    whole = [""]
    while i < len(text) and (text[i].isascii() and text[i].isdigit() or text[i] in groups):
        if text[i] in groups:
            whole.append("")
        else:
            whole[-1] += text[i]
        i += 1
    fraction = ""
    if i < len(text) and text[i] == decimal:
        i += 1
        while i < len(text) and text[i].isascii() and text[i].isdigit():
            fraction += text[i]
            i += 1
    exponent = ""
    if i < len(text) and text[i] in "eE":
        m = re.match(r"([+\-\u2212]?)([0-9]+)", text[i + 1:])
        if not m:
            return None
        exponent = ("e-" if m.group(1) and m.group(1) in _MINUS else "e") + m.group(2)
        i += 1 + m.end()
    if i != len(text):
        return None
    if len(whole) > 1:
        if not least <= len(whole[0]) <= 3 or any(len(g) != 3 for g in whole[1:]):
            return None
    digits = "".join(whole)
    if not digits and not fraction:
        return None
    value = float(f"{sign}{digits or '0'}.{fraction or '0'}{exponent}")
    if not math.isfinite(value):
        return None
    # Qt calls a value too small for a double a failure, where float() quietly gives zero.
    if value == 0 and (digits + fraction).strip("0"):
        return None
    return value


def _read_radix(text):
    """The &H (hexadecimal) and &O (octal) forms, signed, as a 64-bit integer must hold them."""
    if len(text) <= 2 or text[0] != "&" or text[1].upper() not in "HO":
        return None
    base = 16 if text[1].upper() == "H" else 8
    rest = text[2:].strip()
    pattern = r"[+-]?[0-9a-fA-F]+" if base == 16 else r"[+-]?[0-7]+"
    if not re.fullmatch(pattern, rest):
        return None
    value = int(rest, base)
    return float(value) if -(2 ** 63) <= value < 2 ** 63 else None


def _strict(text, numbers):
    for way in (numbers, _DOT):
        value = _read_localized(text, way)
        if value is not None:
            return value
    return _read_radix(text)


def strict_number(text, locale_name="C"):
    """The whole text (surrounding white space allowed) as a number in the locale, falling
    back to the C locale, then to the &H / &O forms; None where the panel finds a type
    mismatch. Raises UnknownLocale when the locale is not known here and the text would read
    differently in the locales it might be."""
    t = text.strip()
    if not t:
        return None
    numbers = _locale_numbers(locale_name)
    if numbers is not None:
        return _strict(t, numbers)
    readings = {_strict(t, candidate) for candidate in _CANDIDATES}
    if len(readings) != 1:
        raise UnknownLocale(f"the locale {locale_name!r} is not known to this reader, and {text!r} reads "
                            f"differently in the locales it might be")
    return readings.pop()
