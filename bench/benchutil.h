/// @brief Small helpers for the benchmark programs: resident memory (the working set on Windows) and a stopwatch.
#pragma once

#include <QElapsedTimer>
#include <QFile>

#include <algorithm>

#ifdef Q_OS_WIN
// In this order, each in a block of its own so that sorting keeps it: winsock2.h before windows.h,
// which would bring in the old winsock otherwise, and psapi.h after the types windows.h declares.
#include <winsock2.h>

#include <windows.h>

#include <psapi.h>
#endif

namespace benchutil {

#ifdef Q_OS_WIN
// The working set is Windows' resident set; its peak is kept by the system, as VmHWM is.
inline double workingSetMiB(bool peak)
{
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    if (!K32GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters))
        return 0;
    return double(peak ? counters.PeakWorkingSetSize : counters.WorkingSetSize) / (1024.0 * 1024.0);
}
inline double residentMiB() { return workingSetMiB(false); }
inline double peakResidentMiB() { return workingSetMiB(true); }
#else
/// Resident set size of this process in MiB (Linux; 0 where /proc is missing).
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

/// Peak resident set size of this process in MiB (Linux; 0 where /proc is missing).
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
#endif

/// Line ends in a file, -1 when it cannot be read.
inline qint64 countLines(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    qint64 n = 0;
    QByteArray buf(1 << 20, Qt::Uninitialized);
    for (qint64 got; (got = f.read(buf.data(), buf.size())) > 0;)
        n += std::count(buf.constData(), buf.constData() + got, '\n');
    return n;
}

} // namespace benchutil
