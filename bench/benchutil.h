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

#include <io.h>
#include <psapi.h>
#else
#include <sys/resource.h>
#include <unistd.h>
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

/// CPU time this process has used so far, user and system, all threads, in seconds.
inline double processCpuSeconds()
{
#ifdef Q_OS_WIN
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user))
        return 0;
    const auto seconds = [](const FILETIME& t) {
        return double((quint64(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 1e7; // 100 ns units
    };
    return seconds(kernel) + seconds(user);
#else
    rusage usage{};
    if (getrusage(RUSAGE_SELF, &usage) != 0)
        return 0;
    const auto seconds = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
#endif
}

/// Hands what the file holds to the disk: fsync, or _commit on Windows.
inline bool syncFile(QFile& f)
{
#ifdef Q_OS_WIN
    return _commit(f.handle()) == 0;
#else
    return fsync(f.handle()) == 0;
#endif
}

/// Percent of one core that this process used between two readings of processCpuSeconds().
class CpuMeter {
public:
    void start()
    {
        m_wall.start();
        m_cpu = processCpuSeconds();
    }
    double percentOfOneCore() const
    {
        const double wall = double(m_wall.nsecsElapsed()) / 1e9;
        return wall > 0 ? 100.0 * (processCpuSeconds() - m_cpu) / wall : 0;
    }

private:
    QElapsedTimer m_wall;
    double m_cpu = 0;
};

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
