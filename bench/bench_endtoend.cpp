/// @brief The whole panel against tallyscope-sim on loopback at link rate: records sent, decoded and written,
/// event-loop lateness, peak memory; or (--flood) against a local sender of junk bytes at loopback speed: peak memory
/// and event-loop lateness.
#include "app/application.h"
#include "app/formmain.h"
#include "app/vbcheckbox.h"
#include "bench/benchutil.h"
#include "bench/literaldecoding.h"
#include "bench/screenprobe.h"
#include "control/calibrationsequence.h"
#include "link/replydecoder.h"
#include "measure/gui/histogramwindow.h"
#include "measure/histogramfeed.h"
#include "measure/linkhealth.h"
#include "measure/runstatistics.h"
#include "platform/messagebox.h"
#include "platform/qtsocket.h"
#include "platform/settingsbackend.h"
#include "remote/controlserver.h"
#include "session/instrumentsession.h"
#include "session/messagelog.h"
#include "session/paneloptions.h"
#include "tests/common/junkflood.h"
#include "tests/common/panelview.h"

#include <QApplication>
#include <QChartView>
#include <QCommandLineParser>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <random>

namespace {

/// A bad data folder would otherwise wait for a click nobody makes.
class AnsweringBoxes final : public MessageBoxes {
public:
    void show(const QString& text, const QString&, Buttons, Icon, AnswerHandler answered) override
    {
        std::fprintf(stderr, "message box: %s\n", qPrintable(text));
        if (answered)
            answered(Answer::Ok);
    }
};

/// Lateness of a 10 ms timer: how long the event loop kept it waiting.
class LatencyProbe : public QObject {
public:
    LatencyProbe()
    {
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(10);
        connect(&m_timer, &QTimer::timeout, this, [this] {
            const qint64 now = m_clock.nsecsElapsed();
            if (m_last > 0)
                m_lateMs.push_back(std::max<qint64>(0, now - m_last - 10'000'000) / 1e6);
            m_last = now;
        });
    }
    void start()
    {
        m_clock.start();
        m_last = 0;
        m_lateMs.clear();
        m_timer.start();
    }
    void stop() { m_timer.stop(); }
    double percentile(double p)
    {
        if (m_lateMs.empty())
            return 0;
        std::sort(m_lateMs.begin(), m_lateMs.end());
        return m_lateMs[std::min(m_lateMs.size() - 1, size_t(p * double(m_lateMs.size())))];
    }

private:
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_last = 0;
    std::vector<double> m_lateMs;
};

/// The panel on 127.0.0.1 against a junk flood: what it holds in memory and how late its timers run.
int runFlood(QApplication& qapp, double seconds, quint64 maxBytes)
{
    // Far above the target, far below this machine's memory: a runaway is cut, not waited for.
    constexpr double AbortMiB = 4096;
    JunkFlood flood(seconds, maxBytes);
    if (flood.port() == 0) {
        std::fprintf(stderr, "could not listen on 127.0.0.1\n");
        return 1;
    }
    MemorySettingsBackend settings;
    AnsweringBoxes boxes;
    Application::Options o;
    o.address = QStringLiteral("127.0.0.1");
    o.port = flood.port();
    Application app(o, settings, boxes);
    app.start();

    LatencyProbe probe;
    QElapsedTimer clock;
    clock.start();
    double residentBefore = 0;
    double residentMax = 0;
    bool flooding = false;
    bool aborted = false;
    int exitCode = 0;
    QElapsedTimer drained;
    qint64 drainMs = 0;
    QTimer driver;
    driver.setInterval(50);
    QObject::connect(&driver, &QTimer::timeout, [&] {
        if (!flooding && flood.accepted()) {
            residentBefore = benchutil::residentMiB();
            probe.start();
            flooding = true;
        }
        if (flooding) {
            const double mib = benchutil::residentMiB();
            residentMax = std::max(residentMax, mib);
            if (mib > AbortMiB && !aborted) {
                aborted = true;
                flood.stop();
            }
        }
        if (flood.done() && !drained.isValid()) {
            if (!flooding) {
                std::fprintf(stderr, "the panel did not connect\n");
                exitCode = 1;
                qapp.quit();
            }
            probe.stop();
            drained.start();
        }
        // Whatever was on its way when the flood stopped must still come through: a drain that
        // stalls on a full buffer shows here as bytes never taken.
        if (drained.isValid()
            && (app.session().linkHealthFigures().bytes >= flood.sent() || drained.hasExpired(5000))) {
            drainMs = drained.elapsed();
            qapp.quit();
        }
    });
    driver.start();
    QApplication::exec();
    driver.stop();

    const double elapsed = clock.elapsed() / 1000.0;
    const LinkHealthFigures health = app.session().linkHealthFigures();
    std::printf("flood: %.0f s of junk from 127.0.0.1 (run took %.1f s)%s\n", seconds, elapsed,
                aborted ? ", CUT at the memory limit" : "");
    std::printf("bytes sent       %.1f MiB (%.0f MiB/s)\n", flood.sent() / 1048576.0,
                flood.sent() / 1048576.0 / seconds);
    std::printf("bytes taken      %.1f MiB by the panel (%s), %lld ms after the flood stopped\n",
                health.bytes / 1048576.0, health.bytes == flood.sent() ? "all" : "NOT all", drainMs);
    std::printf("event loop       10 ms timer late by p50 %.2f ms, p99 %.2f ms, max %.2f ms\n", probe.percentile(0.50),
                probe.percentile(0.99), probe.percentile(1.0));
    std::printf("memory           %.1f MiB resident before, %.1f MiB at most during the flood (peak %.1f MiB)\n",
                residentBefore, residentMax, benchutil::peakResidentMiB());
    return exitCode;
}

} // namespace

// 1 Gbit/s carries 125,000,000 bytes/s; less Ethernet, IP and TCP framing about 17.9 M records of 7 bytes.
constexpr double GigabitRecordsPerSecond = 17'900'000;

/// The literal decoding's rate on this machine now, in the arrivals TCP makes (1,460 bytes).
double literalRecordsPerSecond(bool file, bool verbose)
{
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> reading(651, 2349), anyByte(0, 255);
    QByteArray arrival;
    for (int i = 0; i < 208; ++i) {
        const int a = reading(rng), b = reading(rng);
        const char record[] = {'R', char(a >> 8), char(a & 0xFF), char(b >> 8), char(b & 0xFF), char(anyByte(rng)), 0};
        arrival.append(record, 7);
    }
    literal::CaptionPanel panel;
    panel.options.file = file;
    panel.options.verbose = verbose;
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 1000) {
        literal::literalArrival(panel, arrival);
        panel.file.resize(0);
    }
    return panel.decoded / (t.nsecsElapsed() / 1e9);
}

/// Bytes per second this folder takes when written sequentially in the data file's way: 64 KiB
/// writes, a sync every 5 s and one at the end. 0 when it cannot be written.
double sequentialWriteRate(const QString& folder, qint64 bytes)
{
    QFile f(folder + QStringLiteral("/sequential-write-rate.bin"));
    if (bytes <= 0 || !f.open(QIODevice::WriteOnly))
        return 0;
    const QByteArray chunk(64 * 1024, '7');
    QElapsedTimer t, sinceSync;
    t.start();
    sinceSync.start();
    for (qint64 left = bytes; left > 0; left -= chunk.size()) {
        if (f.write(chunk.constData(), std::min<qint64>(left, chunk.size())) <= 0)
            return 0;
        if (sinceSync.hasExpired(5000)) {
            f.flush();
            benchutil::syncFile(f);
            sinceSync.restart();
        }
    }
    f.flush();
    benchutil::syncFile(f);
    const double seconds = double(t.nsecsElapsed()) / 1e9;
    f.close();
    f.remove();
    return double(bytes) / seconds;
}

int main(int argc, char* argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication qapp(argc, argv);
    QCommandLineParser p;
    p.setApplicationDescription(
        QStringLiteral("Runs the panel against tallyscope-sim on 127.0.0.1 and prints what got through."));
    p.addHelpOption();
    const QCommandLineOption seconds(QStringLiteral("seconds"), QStringLiteral("Length of the run (default 60)."),
                                     QStringLiteral("S"), QStringLiteral("60"));
    const QCommandLineOption rate(QStringLiteral("rate"),
                                  QStringLiteral("Records per second asked of the simulator (default 1780000)."),
                                  QStringLiteral("R"), QStringLiteral("1780000"));
    // A switch of the panel's, set to 1 or 0 for the run.
    const auto onOff = [](const char* name, const char* what, const char* byDefault) {
        return QCommandLineOption(
            QString::fromLatin1(name),
            QStringLiteral("%1, 1 or 0 (default %2).").arg(QLatin1String(what), QLatin1String(byDefault)),
            QStringLiteral("0|1"), QString::fromLatin1(byDefault));
    };
    const QCommandLineOption display = onOff("display", "Display ticked", "1");
    const QCommandLineOption file = onOff("file", "File ticked", "1");
    const QCommandLineOption autoPoll = onOff("auto", "Auto polling ticked", "1");
    const QCommandLineOption sim(QStringLiteral("sim"),
                                 QStringLiteral("Path of tallyscope-sim (default: beside this program)."),
                                 QStringLiteral("PATH"));
    const QCommandLineOption calibrateEvery(QStringLiteral("calibrate-every"),
                                            QStringLiteral("Stop the run, calibrate and start again every S seconds "
                                                           "(default: never)."),
                                            QStringLiteral("S"), QStringLiteral("0"));
    const QCommandLineOption flood(QStringLiteral("flood"),
                                   QStringLiteral("Instead of the simulator, flood the panel with S seconds of junk "
                                                  "bytes from 127.0.0.1."),
                                   QStringLiteral("S"));
    const QCommandLineOption floodBytes(QStringLiteral("flood-mib"),
                                        QStringLiteral("Most the flood sends, in MiB (default 16384)."),
                                        QStringLiteral("MIB"), QStringLiteral("16384"));
    const QCommandLineOption fetchMs(QStringLiteral("fetch-ms"),
                                     QStringLiteral("A PyVISA script on the control port fetches the time differences "
                                                    "every MS ms."),
                                     QStringLiteral("MS"));
    const QCommandLineOption blast(QStringLiteral("blast"),
                                   QStringLiteral("The simulator sends a pre-generated ring as fast as the socket "
                                                  "takes it (paced only by an explicit --rate)."));
    const QCommandLineOption verbose = onOff("verbose", "Verbose ticked", "0");
    const QCommandLineOption raw = onOff("raw", "Raw ticked", "0");
    const QCommandLineOption histogram = onOff("histogram", "The histogram window open", "0");
    const QCommandLineOption probes = onOff("probes",
                                            "The time-to-screen probes and the 10 ms lateness timer on; 0 measures the "
                                            "panel's CPU without the benchmark's own wake-ups",
                                            "1");
    const QCommandLineOption idle(QStringLiteral("idle"),
                                  QStringLiteral("Connect, calibrate, then stay idle (no run, Auto off) for S seconds "
                                                 "and print the panel's CPU use."),
                                  QStringLiteral("S"));
    p.addOptions({seconds, rate, display, file, autoPoll, sim, calibrateEvery, flood, floodBytes, fetchMs, blast,
                  verbose, raw, histogram, probes, idle});
    p.process(qapp);
    if (p.isSet(flood))
        return runFlood(qapp, p.value(flood).toDouble(), p.value(floodBytes).toULongLong() * 1048576ull);

    const QString simPath = p.isSet(sim) ? p.value(sim)
                                         : QCoreApplication::applicationDirPath() + QStringLiteral("/tallyscope-sim");
    QProcess simulator;
    simulator.setProgram(simPath);
    QStringList simArguments{QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--stats")};
    if (p.isSet(blast))
        simArguments << QStringLiteral("--blast");
    if (!p.isSet(blast) || p.isSet(rate))
        simArguments << QStringLiteral("--rate") << p.value(rate);
    simulator.setArguments(simArguments);
    simulator.start();
    if (!simulator.waitForReadyRead(10000)) {
        std::fprintf(stderr, "tallyscope-sim did not start: %s\n", qPrintable(simulator.errorString()));
        return 1;
    }
    const QByteArray hello = simulator.readLine().trimmed();
    const quint16 port = quint16(hello.mid(hello.lastIndexOf(':') + 1).toUInt());
    QByteArray simStats;
    QObject::connect(&simulator, &QProcess::readyReadStandardError,
                     [&] { simStats += simulator.readAllStandardError(); });

    QTemporaryDir data;
    MemorySettingsBackend settings;
    AnsweringBoxes boxes;
    Application::Options o;
    o.address = QStringLiteral("127.0.0.1");
    o.port = port;
    if (p.isSet(fetchMs))
        o.control = ControlPortSettings{};
    // The panel's own kind of socket, in hand so that the time to screen sees what it leaves waiting.
    QtSocket socket;
    Application::Seams seams;
    seams.socket = &socket;
    Application app(o, settings, boxes, seams);
    // The script connects before anything is decoded, so that it must get every record.
    QProcess script;
    QByteArray scriptOutput;
    if (p.isSet(fetchMs)) {
        QString error;
        if (!app.openControlPort(&error)) {
            std::fprintf(stderr, "control port: %s\n", qPrintable(error));
            return 1;
        }
        script.setProgram(QFile::exists(QStringLiteral("/usr/bin/python3")) ? QStringLiteral("/usr/bin/python3")
                                                                            : QStringLiteral("python3"));
        script.setArguments({QStringLiteral(TALLYSCOPE_FETCH_CLIENT), QStringLiteral("--port"),
                             QString::number(app.controlPort()->server().port()), QStringLiteral("--interval"),
                             p.value(fetchMs)});
        script.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        script.start();
        // Connecting needs the panel's event loop: wait for "ready" with the loop running.
        QEventLoop untilReady;
        QObject::connect(&script, &QProcess::readyReadStandardOutput, &untilReady, &QEventLoop::quit);
        QObject::connect(&script, &QProcess::finished, &untilReady, &QEventLoop::quit);
        QTimer::singleShot(20000, &untilReady, &QEventLoop::quit);
        untilReady.exec();
        if (!script.readAllStandardOutput().startsWith("ready")) {
            std::fprintf(stderr, "the fetch script did not connect\n");
            return 1;
        }
        QObject::connect(&script, &QProcess::readyReadStandardOutput,
                         [&] { scriptOutput += script.readAllStandardOutput(); });
    }
    const PanelView ui(app.window());
    app.panelOptions().setDataFolder(data.path() + u'/');
    app.start();

    LatencyProbe probe;
    benchutil::CpuMeter cpu;
    double cpuPercent = 0;
    if (p.value(histogram).toInt())
        emit app.window().histogramRequested();
    // Time to screen, on the count caption and (when open) the histogram's chart.
    ScreenProbe captionProbe(ui.lblCount, [&] { return captionCount(ui.lblCount->text()); });
    HistogramWindow* histogramWindow = app.histogramWindow();
    ScreenProbe histogramProbe(histogramWindow->findChild<QChartView*>()->viewport(),
                               [&] { return captionCount(histogramWindow->figureText(QStringLiteral("Count"))); });
    QObject::connect(&socket, &QtSocket::bytesHeld, [&] {
        captionProbe.held();
        histogramProbe.held();
    });
    QElapsedTimer runClock;
    QElapsedTimer waited;
    waited.start();
    enum class Phase { Calibrating, Idle, Running, Pausing, Recalibrating, Draining } phase = Phase::Calibrating;
    const qint64 calibrateMs = qint64(p.value(calibrateEvery).toDouble() * 1000);
    qint64 nextCalibration = calibrateMs;
    int calibrations = 0;
    QElapsedTimer pause;
    std::vector<std::pair<double, double>> memory; // (seconds, MiB)
    qint64 nextMemorySample = 0;
    // Decoded records every 10 s of the run, to show whether the rate holds.
    std::vector<quint64> decodedAt;
    qint64 nextRateSample = 0;
    int exitCode = 0;
    // Records decoded while a run (and so its file) was open, summed over the runs.
    quint64 decodedAtStop = 0;
    quint64 runStartCount = 0;
    const auto startRun = [&] {
        runStartCount = app.session().decoderCounters().recordsDecoded;
        captionProbe.restart();
        histogramProbe.restart();
        ui.chkRun->setValue(1);
    };
    const bool probing = p.value(probes).toInt() != 0;
    if (probing)
        QObject::connect(&app.session(), &InstrumentSession::arrivalHandled, [&] {
            captionProbe.arrived(app.session().decoderCounters().recordsDecoded - runStartCount, socket.catchingUp());
            histogramProbe.arrived(app.histogramFeed().histogram().count(), socket.catchingUp());
        });
    const qint64 idleMs = p.isSet(idle) ? qint64(p.value(idle).toDouble() * 1000) : -1;
    QElapsedTimer idleClock;
    const auto stopRun = [&] {
        ui.chkRun->setValue(0);
        decodedAtStop += app.session().decoderCounters().recordsDecoded - runStartCount;
    };
    bool scriptStopped = false;
    QTimer driver;
    driver.setInterval(100);
    QObject::connect(&driver, &QTimer::timeout, [&] {
        if (phase == Phase::Calibrating) {
            if (!ui.chkRun->isEnabled()) {
                if (waited.elapsed() > 20000) {
                    std::fprintf(stderr, "the panel did not calibrate\n");
                    exitCode = 1;
                    qapp.quit();
                }
                return;
            }
            if (idleMs >= 0) {
                // Idle: heartbeats only. The driver wakes once at the end, not ten times a second.
                phase = Phase::Idle;
                driver.stop();
                cpu.start();
                QTimer::singleShot(idleMs, &qapp, [&] {
                    cpuPercent = cpu.percentOfOneCore();
                    qapp.quit();
                });
                return;
            }
            ui.chkDisplay->setValue(p.value(display).toInt());
            ui.chkFile->setValue(p.value(file).toInt());
            ui.chkAuto->setValue(p.value(autoPoll).toInt());
            ui.chkVerbose->setValue(p.value(verbose).toInt());
            ui.chkRaw->setValue(p.value(raw).toInt());
            if (probing) {
                probe.start();
                captionProbe.start();
                histogramProbe.start();
            }
            cpu.start();
            runClock.start();
            startRun();
            phase = Phase::Running;
        }
        if (phase == Phase::Running && runClock.elapsed() >= nextRateSample) {
            decodedAt.push_back(app.session().decoderCounters().recordsDecoded);
            nextRateSample += 10000;
        }
        if (phase != Phase::Calibrating && phase != Phase::Draining && runClock.elapsed() >= nextMemorySample) {
            memory.emplace_back(runClock.elapsed() / 1000.0, benchutil::residentMiB());
            nextMemorySample += 60000;
        }
        if (phase == Phase::Running && calibrateMs > 0 && runClock.elapsed() >= nextCalibration) {
            // Calibration tells the instrument to stop; the run is stopped first so that the
            // records still on their way are decoded, not turned away by the calibration.
            stopRun();
            pause.start();
            phase = Phase::Pausing;
        } else if (phase == Phase::Pausing && pause.elapsed() > 500) {
            ui.cmdCalibrate->click();
            ++calibrations;
            phase = Phase::Recalibrating;
        } else if (phase == Phase::Recalibrating && !app.session().isCalibrating()) {
            if (!ui.chkRun->isEnabled()) {
                std::fprintf(stderr, "a calibration failed its windows\n");
                exitCode = 1;
            }
            nextCalibration += calibrateMs;
            startRun();
            phase = Phase::Running;
        } else if (phase == Phase::Running && runClock.elapsed() >= qint64(p.value(seconds).toDouble() * 1000)) {
            cpuPercent = cpu.percentOfOneCore();
            captionProbe.stop();
            histogramProbe.stop();
            stopRun();
            probe.stop();
            ui.chkAuto->setValue(0);
            waited.restart();
            phase = Phase::Draining;
        } else if (phase == Phase::Draining && waited.elapsed() > 3000) {
            // The script's last fetch needs the event loop; it ends the program when done.
            if (script.state() == QProcess::Running && waited.elapsed() < 33000) {
                if (!std::exchange(scriptStopped, true)) {
                    QObject::connect(&script, &QProcess::finished, &qapp, &QCoreApplication::quit);
                    script.write("stop\n");
                }
                return;
            }
            qapp.quit();
        }
    });
    driver.start();
    QApplication::exec();
    driver.stop();
    const double runSeconds = p.value(seconds).toDouble();
    if (idleMs >= 0) {
        simulator.terminate();
        simulator.waitForFinished(5000);
        std::printf("idle: %.0f s connected, calibrated, no run, Auto off\n", idleMs / 1000.0);
        std::printf("panel CPU        %.3f %% of one core (this process only; the simulator excluded)\n", cpuPercent);
        std::printf("log              %lld lines kept\n", qlonglong(app.log().lineCount()));
        return exitCode;
    }

    simulator.terminate();
    simulator.waitForFinished(5000);
    simStats += simulator.readAllStandardError();
    // The simulator's last stats line: "connections N  records R  last second X".
    quint64 sent = 0;
    for (const QByteArray& line : simStats.split('\n')) {
        const qsizetype at = line.indexOf("records ");
        if (at >= 0)
            sent = line.mid(at + 8).split(' ').first().toULongLong();
    }
    const quint64 decoded = app.session().decoderCounters().recordsDecoded;
    qint64 written = 0;
    qint64 fileBytes = 0;
    const QStringList files = QDir(data.path()).entryList({QStringLiteral("Coincidences *.txt")}, QDir::Files);
    const bool rawFile = p.value(raw).toInt() != 0;
    for (const QString& f : files) {
        const qint64 bytes = QFileInfo(data.filePath(f)).size();
        // A raw file is the records' own 7 bytes each, with no line ends to count.
        written += rawFile ? bytes / 7 : benchutil::countLines(data.filePath(f));
        fileBytes += bytes;
    }

    std::printf("run: %.0f s at %s records/s asked, Display %s, File %s, Auto %s, Verbose %s, Raw %s, histogram %s\n",
                runSeconds, p.isSet(blast) && !p.isSet(rate) ? "as many" : qPrintable(p.value(rate)),
                qPrintable(p.value(display)), qPrintable(p.value(file)), qPrintable(p.value(autoPoll)),
                qPrintable(p.value(verbose)), qPrintable(p.value(raw)), p.value(histogram).toInt() ? "open" : "closed");
    std::printf("records sent     %llu\n", sent);
    std::printf("records decoded  %llu (%s)\n", decoded, decoded == sent ? "all" : "NOT all");
    if (p.value(file).toInt())
        std::printf("records written  %lld (%s the %llu decoded while a run was on; the rest arrived after a stop)\n",
                    written, quint64(written) == decodedAtStop ? "all of" : "NOT all of", decodedAtStop);
    std::printf("sustained rate   %.0f records/s decoded\n", decoded / runSeconds);
    if (p.value(file).toInt() && written > 0) {
        // The folder's own limit for this run: the same bytes, written the data file's way.
        const double bytesPerRecord = double(fileBytes) / double(written);
        const double diskRate = sequentialWriteRate(data.path(), fileBytes) / bytesPerRecord;
        const double limit = std::min(diskRate, GigabitRecordsPerSecond);
        std::printf("physical limit   gigabit wire %.0f records/s; data folder %.0f records/s (%.1f MB/s sequential "
                    "over %.0f MB, %.2f bytes a record); the lower %.0f\n",
                    GigabitRecordsPerSecond, diskRate, diskRate * bytesPerRecord / 1e6, fileBytes / 1e6, bytesPerRecord,
                    limit);
        std::printf("limit ratio      %.1f %% of the physical limit\n", 100.0 * decoded / runSeconds / limit);
    }
    const double literalRate = literalRecordsPerSecond(p.value(file).toInt() != 0, p.value(verbose).toInt() != 0);
    std::printf("gigabit ratio    %.1f %% of the gigabit wire rate (%.0f records/s); the literal decoding, measured "
                "now: "
                "%.0f records/s = %.2f %%\n",
                100.0 * decoded / runSeconds / GigabitRecordsPerSecond, GigabitRecordsPerSecond, literalRate,
                100.0 * literalRate / GigabitRecordsPerSecond);
    std::printf("panel CPU        %.1f %% of one core over the run (this process only; the simulator excluded)\n",
                cpuPercent);
    const auto printScreen = [](const char* what, const ScreenProbe& screen) {
        const auto [lowest, mean] = screen.refreshesPerSecond();
        std::printf("time to screen   %s: p50 %.1f ms, p99 %.1f ms, max %.1f ms over %llu records (%llu never "
                    "painted); %.0f refreshes/s at least, %.1f on average\n",
                    what, screen.percentileMs(0.50), screen.percentileMs(0.99), screen.maxMs(), screen.recordsSeen(),
                    screen.neverShown(), lowest, mean);
    };
    if (probing) {
        printScreen("count caption", captionProbe);
        if (p.value(histogram).toInt())
            printScreen("histogram    ", histogramProbe);
        std::printf("event loop       10 ms timer late by p50 %.2f ms, p99 %.2f ms, max %.2f ms\n",
                    probe.percentile(0.50), probe.percentile(0.99), probe.percentile(1.0));
    } else {
        std::printf("time to screen   not measured (--probes 0)\n");
    }
    std::printf("peak memory      %.1f MiB resident\n", benchutil::peakResidentMiB());
    if (calibrateMs > 0) {
        const auto& counters = app.session().decoderCounters();
        std::printf("calibrations     %d during the run\n", calibrations);
        std::printf("records lost     %lld (sent - decoded - turned away by a calibration: %llu)\n",
                    qlonglong(sent) - qlonglong(decoded) - qlonglong(counters.rejectedByGate),
                    quint64(counters.rejectedByGate));
    }
    if (decodedAt.size() > 1) {
        std::printf("rate per 10 s  ");
        for (size_t i = 1; i < decodedAt.size(); ++i)
            std::printf(" %.2f", (decodedAt[i] - decodedAt[i - 1]) / 10.0 / 1e6);
        std::printf(" M records/s\n");
    }
    for (const auto& [at, mib] : memory)
        std::printf("memory at %5.0f s %.1f MiB resident\n", at, mib);
    std::printf("log              %lld lines kept\n", qlonglong(app.log().lineCount()));
    if (p.isSet(fetchMs)) {
        script.waitForFinished(5000);
        scriptOutput += script.readAllStandardOutput();
        // "fetched N lost L fetches F largest M slowest_ms T"
        const QList<QByteArray> f = scriptOutput.trimmed().split(' ');
        if (f.size() < 10) {
            std::printf("script           no result: %s\n", scriptOutput.constData());
            return 1;
        }
        const quint64 fetched = f.at(1).toULongLong();
        std::printf("script fetch     every %s ms through PyVISA: %llu values (%s the %llu decoded), lost %s; %s "
                    "fetches, "
                    "largest %s values, slowest %s ms\n",
                    qPrintable(p.value(fetchMs)), fetched, fetched == decoded ? "all of" : "NOT all of", decoded,
                    f.at(3).constData(), f.at(5).constData(), f.at(7).constData(), f.at(9).constData());
        if (fetched != decoded || f.at(3) != "0")
            exitCode = 1;
    }
    return exitCode;
}
