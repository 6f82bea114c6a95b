/// @brief Loopback throughput of `tallyscope-sim --blast`: one plain reader drains the stream with
/// large recv calls, checks every record against the ring's ground truth and the sender's own count.
#include "link/commands.h"
#include "link/protocol.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr qsizetype ReadChunk = 4 << 20;
constexpr int RecvTimeoutMs = 300;
constexpr int MaxQuietWaitMs = 5000; // after run off: the tail of the stream must arrive by then

bool pinTo(int cpu)
{
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    return sched_setaffinity(0, sizeof set, &set) == 0;
}

bool sendAll(int fd, const QByteArray& bytes)
{
    return ::send(fd, bytes.constData(), size_t(bytes.size()), MSG_NOSIGNAL) == bytes.size();
}

bool recvExactly(int fd, char* out, qsizetype size)
{
    for (qsizetype got = 0; got < size;) {
        const ssize_t n = ::recv(fd, out + got, size_t(size - got), 0);
        if (n <= 0)
            return false;
        got += n;
    }
    return true;
}

/// The ring's bytes from the ground-truth file: the record lines after the last "# ring" line.
QByteArray readRing(const QString& path, qsizetype& declared)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QByteArray ring;
    declared = -1;
    while (!file.atEnd()) {
        const QByteArray line = file.readLine();
        if (line.startsWith("# ring ")) {
            declared = line.mid(7, line.indexOf(' ', 7) - 7).toLongLong();
            ring.clear();
            ring.reserve(declared * protocol::RecordLength);
        } else if (declared >= 0 && !line.startsWith('#') && line.size() > 2 * protocol::RecordLength) {
            ring.append(QByteArray::fromHex(line.left(2 * protocol::RecordLength)));
        }
    }
    return ring;
}

/// Compares what arrived with the ring at the stream position; counts differing records.
struct Checker {
    QByteArray ring;
    qint64 position = 0; ///< bytes checked so far
    qint64 badRecords = 0;
    qint64 lastBad = -1; ///< the record counted last, so that a record counts once

    void check(const char* data, qsizetype size)
    {
        while (size > 0) {
            const qsizetype at = qsizetype(position % ring.size());
            const qsizetype run = std::min(size, ring.size() - at);
            if (std::memcmp(data, ring.constData() + at, size_t(run)) != 0) {
                for (qsizetype i = 0; i < run; ++i) {
                    const qint64 record = (position + i) / protocol::RecordLength;
                    if (data[i] != ring[at + i] && record != lastBad)
                        ++badRecords, lastBad = record;
                }
            }
            position += run;
            data += run;
            size -= run;
        }
    }
};

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription("Starts tallyscope-sim --blast beside this program, runs the stream over "
                                     "127.0.0.1 and reads it as fast as it can.\n"
                                     "On a 2-core machine give the sender and the reader one core each, e.g.\n"
                                     "  taskset -c 1 bench_blast --sim-cpu 0\n"
                                     "(--reader-cpu 1 does the same as the taskset prefix).");
    parser.addHelpOption();
    const QCommandLineOption seconds("seconds", "Reading time (default 10).", "s", "10");
    const QCommandLineOption ringOption("ring", "Records in the ring (default 1048576).", "n", "1048576");
    const QCommandLineOption rate("rate", "Pace the sender to this many records/s (default: unlimited).", "per-second");
    const QCommandLineOption simCpu("sim-cpu", "Pin the simulator to this core.", "n");
    const QCommandLineOption readerCpu("reader-cpu", "Pin this reader to this core.", "n");
    const QCommandLineOption simPath("sim", "The simulator (default: tallyscope-sim beside this program).", "path");
    parser.addOptions({seconds, ringOption, rate, simCpu, readerCpu, simPath});
    parser.process(app);

    const double runSeconds = parser.value(seconds).toDouble();
    if (!(runSeconds > 0 && runSeconds <= 600)) {
        std::fprintf(stderr, "--seconds: expected 0 to 600\n");
        return 2;
    }
    if (parser.isSet(readerCpu) && !pinTo(parser.value(readerCpu).toInt()))
        std::fprintf(stderr, "could not pin the reader: %s\n", std::strerror(errno));

    QTemporaryDir dir;
    const QString truthPath = dir.filePath("truth.txt");
    QStringList args{"--blast", "--port", "0", "--blast-ring", parser.value(ringOption), "--ground-truth", truthPath,
                     // Ends the simulator by itself, and with it its exact final count.
                     "--duration", QString::number(runSeconds + 4)};
    if (parser.isSet(rate))
        args << "--rate" << parser.value(rate);
    QProcess sim;
    if (parser.isSet(simCpu)) {
        const int cpu = parser.value(simCpu).toInt();
        sim.setChildProcessModifier([cpu] { pinTo(cpu); });
    }
    sim.start(parser.isSet(simPath) ? parser.value(simPath) : app.applicationDirPath() + "/tallyscope-sim", args);
    if (!sim.waitForStarted(5000) || !sim.waitForReadyRead(5000)) {
        std::fprintf(stderr, "simulator did not start\n");
        return 1;
    }
    const QByteArray banner = sim.readLine().trimmed();
    const quint16 port = quint16(banner.mid(banner.lastIndexOf(':') + 1).toUInt());

    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval timeout{0, RecvTimeoutMs * 1000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    if (port == 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        std::fprintf(stderr, "cannot connect to \"%s\"\n", banner.constData());
        return 1;
    }

    // What a panel sends before a run: stop, both calibration levels with their readings, back to normal.
    char replies[12];
    if (!sendAll(fd, commands::runOff() + commands::calibrationLow() + commands::calibrationHigh()
                         + commands::calibrationOff())
        || !recvExactly(fd, replies, sizeof replies) || replies[0] != '3' || replies[9] != '4') {
        std::fprintf(stderr, "calibration replies missing or wrong\n");
        return 1;
    }
    sendAll(fd, commands::runOn());

    std::vector<char> buffer(ReadChunk);
    // The first bytes come once the ring and its ground truth are written: read it before timing.
    ssize_t first = 0;
    for (int tries = 0; tries < 20 && first <= 0; ++tries)
        first = ::recv(fd, buffer.data(), buffer.size(), 0);
    Checker checker;
    qsizetype declared = 0;
    checker.ring = readRing(truthPath, declared);
    if (first <= 0 || checker.ring.isEmpty() || checker.ring.size() != declared * protocol::RecordLength) {
        std::fprintf(stderr, "no stream, or no ring in the ground truth\n");
        return 1;
    }
    checker.check(buffer.data(), first);

    qint64 received = first;
    QElapsedTimer clock;
    clock.start();
    const qint64 runNs = qint64(runSeconds * 1e9);
    while (clock.nsecsElapsed() < runNs) {
        const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
        if (n <= 0)
            break;
        checker.check(buffer.data(), n);
        received += n;
    }
    const qint64 elapsedNs = clock.nsecsElapsed();
    const qint64 timedBytes = received - first;

    // Stop and mark the end with a heartbeat: its reply must follow the last whole record.
    sendAll(fd, commands::runOff() + commands::heartbeat());
    QElapsedTimer quiet;
    quiet.start();
    // Each chunk's last byte waits for the next chunk: only the very last one may be the reply.
    char last = 0;
    bool haveLast = false;
    while (quiet.elapsed() < MaxQuietWaitMs) {
        const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
        if (n <= 0)
            break;
        received += n;
        if (haveLast)
            checker.check(&last, 1);
        checker.check(buffer.data(), n - 1);
        last = buffer[size_t(n - 1)];
        haveLast = true;
    }
    if (haveLast && last != 'H')
        checker.check(&last, 1);
    ::close(fd);
    const bool endsWithHeartbeat = last == 'H';
    const qint64 streamBytes = received - (endsWithHeartbeat ? 1 : 0);

    sim.waitForFinished(int(runSeconds * 1000) + 10000);
    qint64 simCount = -1;
    for (const QByteArray& line : sim.readAllStandardError().split('\n'))
        if (line.startsWith("records ") && line.endsWith(" sent in total"))
            simCount = line.split(' ').at(1).toLongLong();

    const double rateRecords = double(timedBytes) / protocol::RecordLength * 1e9 / double(elapsedNs);
    const qint64 records = streamBytes / protocol::RecordLength;
    std::printf("ring %lld records, read %.2f s\n", qlonglong(declared), double(elapsedNs) / 1e9);
    std::printf("received       %.2f M records/s (%.0f MB/s)\n", rateRecords / 1e6,
                rateRecords * protocol::RecordLength / 1e6);
    std::printf("records        %lld received, %lld sent by the simulator (%s)\n", qlonglong(records),
                qlonglong(simCount), records == simCount ? "equal" : "DIFFERENT");
    std::printf("ground truth   %lld records checked against ring[i %% N], %lld differ; stream %s\n",
                qlonglong(checker.position / 7), qlonglong(checker.badRecords),
                streamBytes % protocol::RecordLength == 0 && endsWithHeartbeat
                    ? "ends on a record, then the heartbeat reply"
                    : "DOES NOT end cleanly");
    const bool ok = records == simCount && checker.badRecords == 0 && endsWithHeartbeat
                    && streamBytes % protocol::RecordLength == 0;
    return ok ? 0 : 1;
}
