/// @brief Small helpers for the benchmark programs: resident memory and a stopwatch.
#pragma once

#include <QElapsedTimer>
#include <QFile>

namespace benchutil {

/// Resident set size of this process in MiB (Linux; 0 elsewhere).
inline double residentMiB()
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : f.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toDouble() / 1024.0;
    return 0;
}

/// Peak resident set size of this process in MiB (Linux; 0 elsewhere).
inline double peakResidentMiB()
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : f.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toDouble() / 1024.0;
    return 0;
}

} // namespace benchutil
