/// @brief The one assertion the harnesses use: a message, then a trap that libFuzzer records as a finding.
#pragma once

#include <QLocale>
#include <cstdio>

// assert() would vanish under the preset's NDEBUG, and a plain abort() loses which invariant
// broke; the message lands in the fuzzer's log next to the saved input.
#define FUZZ_CHECK(cond, ...)                                                                      \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            std::fprintf(stderr, "FUZZ_CHECK failed at %s:%d: %s\n  ", __FILE__, __LINE__, #cond); \
            std::fprintf(stderr, __VA_ARGS__);                                                     \
            std::fputc('\n', stderr);                                                              \
            __builtin_trap();                                                                      \
        }                                                                                          \
    } while (0)

/// The locales the harnesses switch between: the C locale, a point-decimal one and two
/// comma-decimal ones (the grouping and decimal characters swap places).
inline QLocale localeAt(int index)
{
    switch (index & 3) {
    case 1:
        return QLocale(QLocale::English, QLocale::UnitedStates);
    case 2:
        return QLocale(QLocale::German, QLocale::Germany);
    case 3:
        return QLocale(QLocale::French, QLocale::France);
    default:
        return QLocale::c();
    }
}

/// Makes localeAt(index) the default locale. Setting it builds a new locale object each time,
/// so it is set only when it differs from the one the previous call set.
inline void useLocale(int index)
{
    static int current = -1;
    if ((index & 3) == current)
        return;
    current = index & 3;
    QLocale::setDefault(localeAt(current));
}
