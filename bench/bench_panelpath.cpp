/// @brief The panel's work per record without the socket: arrivals straight into the session (decoder, data file, log,
/// histogram, statistics) on one core.
#include "control/calibrationmodel.h"
#include "control/calibrationsequence.h"
#include "link/connectionmanager.h"
#include "link/replydecoder.h"
#include "measure/datafile.h"
#include "measure/histogramfeed.h"
#include "platform/settingsbackend.h"
#include "platform/settingsstore.h"
#include "session/histogrambinding.h"
#include "session/instrumentsession.h"
#include "session/messagelog.h"
#include "session/paneloptions.h"
#include "sim/recordgenerator.h"
#include "sim/simulatorconfig.h"
#include "tests/common/fakes.h"
#include "tests/common/sessiontestaccess.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <cstdio>
#include <ctime>
#include <vector>

namespace {

double cpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser p;
    p.setApplicationDescription(
        QStringLiteral("Feeds generated records to the panel's session in process and prints records/s per CPU."));
    p.addHelpOption();
    const QCommandLineOption records(QStringLiteral("records"), QStringLiteral("Records (default 20000000)."),
                                     QStringLiteral("N"), QStringLiteral("20000000"));
    const QCommandLineOption arrival(QStringLiteral("arrival"), QStringLiteral("Bytes per arrival (default 65536)."),
                                     QStringLiteral("B"), QStringLiteral("65536"));
    const QCommandLineOption display(QStringLiteral("display"), QStringLiteral("Display 1 or 0 (default 1)."),
                                     QStringLiteral("0|1"), QStringLiteral("1"));
    const QCommandLineOption file(QStringLiteral("file"), QStringLiteral("File 1 or 0 (default 1)."),
                                  QStringLiteral("0|1"), QStringLiteral("1"));
    const QCommandLineOption verbose(QStringLiteral("verbose"), QStringLiteral("Verbose 1 or 0 (default 0)."),
                                     QStringLiteral("0|1"), QStringLiteral("0"));
    const QCommandLineOption folder(QStringLiteral("folder"), QStringLiteral("Data folder (default: a temporary one)."),
                                    QStringLiteral("DIR"));
    const QCommandLineOption evict(QStringLiteral("evict"),
                                   QStringLiteral(
                                       "KiB of other memory written between arrivals, outside the timing, as "
                                       "whatever else the machine runs between them would (default 0)."),
                                   QStringLiteral("KiB"), QStringLiteral("0"));
    p.addOptions({records, arrival, display, file, verbose, folder, evict});
    p.process(app);

    // Records as the simulator makes them, with the calibration the session is given below.
    SimulatorConfig cfg;
    RecordGenerator generator(cfg);
    generator.setCalibration({500, 3600, 510, 3590});
    const qint64 total = p.value(records).toLongLong();
    QByteArray stream;
    for (qint64 made = 0; made < total;) {
        QByteArray batch;
        const int n = int(std::min<qint64>(total - made, 1 << 20));
        generator.generate(n, batch, nullptr);
        stream += batch;
        made += n;
    }

    QTemporaryDir tmp;
    MemorySettingsBackend backend;
    SettingsStore store(backend);
    PanelOptions options(store);
    FakeSocket socket;
    FakeClock clock;
    FakeMessageBoxes boxes;
    MessageLog log;
    HistogramFeed histogram;
    InstrumentSession session(socket, clock, boxes, log);
    options.setAddress(QStringLiteral("127.0.0.1"));
    options.setDataFolder(p.isSet(folder) ? p.value(folder) : tmp.path());
    session.bindOptions(options);
    bindHistogramFeed(session, histogram);
    session.openConnection();
    socket.completeConnect();
    SessionTestAccess parts(session);
    parts.calibrationSequence().abort();
    const char* cells[] = {"500", "3600", "510", "3590"};
    for (int i = 0; i < 4; ++i)
        parts.calibration().setCell(CalibrationModel::Cell(i), QString::fromLatin1(cells[i]));
    options.setValue(PanelOptions::Display, p.value(display).toInt());
    options.setValue(PanelOptions::File, p.value(file).toInt());
    options.setValue(PanelOptions::Verbose, p.value(verbose).toInt());
    session.setRun(true);

    const qsizetype step = p.value(arrival).toLongLong();
    std::vector<char> other(size_t(p.value(evict).toLongLong()) * 1024);
    QElapsedTimer wall;
    double cpu = 0;
    qint64 ns = 0;
    for (qsizetype at = 0; at < stream.size(); at += step) {
        // Each arrival then finds the caches as the other work left them.
        for (size_t i = 0; i < other.size(); i += 64)
            ++other[i];
        const QByteArray bytes = stream.mid(at, step);
        wall.start();
        const double cpu0 = cpuSeconds();
        socket.deliver(bytes);
        cpu += cpuSeconds() - cpu0;
        ns += wall.nsecsElapsed();
    }
    const double seconds = double(ns) * 1e-9;
    session.setRun(false);
    const quint64 decoded = session.decoderCounters().recordsDecoded;
    std::printf("%lld records in %lld-byte arrivals, Display %s, File %s, Verbose %s\n", qlonglong(total),
                qlonglong(step), qPrintable(p.value(display)), qPrintable(p.value(file)), qPrintable(p.value(verbose)));
    std::printf("decoded %llu (%s), %.0f records/s wall, %.0f records/s per CPU second; log %lld lines\n", decoded,
                decoded == quint64(total) ? "all" : "NOT all", decoded / seconds, decoded / cpu,
                qlonglong(log.lineCount()));
    return decoded == quint64(total) ? 0 : 1;
}
