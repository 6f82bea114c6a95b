/// @brief tallyscope-record: a run recorded without a window, through the panel's own session: connect, calibrate, record with File ticked, stop cleanly.
#include "session/instrumentsession.h"
#include "session/messagelog.h"
#include "control/calibrationmodel.h"
#include "control/calibrationsequence.h"
#include "control/registermodel.h"
#include "control/registerpanel.h"
#include "link/connectionmanager.h"
#include "link/numberformat.h"
#include "measure/datafile.h"
#include "measure/linkhealth.h"
#include "measure/runsidecar.h"
#include "platform/clock.h"
#include "platform/commandline.h"
#include "platform/numbers.h"
#include "platform/qtsocket.h"
#include "platform/stderrmessageboxes.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>
#include <utility>

namespace {

// Documented in the manual page, beside the shared ones; 128 + n is the shell's signal convention.
constexpr int ExitOk = CommandLine::ExitOk;
constexpr int ExitFailure = CommandLine::ExitFailure;
constexpr int ExitNoConnection = 2;
constexpr int ExitCalibration = 3;
constexpr int ExitConnectionLost = 4;

constexpr int RegisterWaitMs = 1000;
constexpr int ConnectRetryMs = 1000;
constexpr int TerminalRefreshMs = 200;
constexpr int PlainRefreshMs = 5000;

int g_signalPipe[2] = {-1, -1};

extern "C" void onSignal(int number)
{
    // Only async-signal-safe work here; the event loop reads the number from the pipe.
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(number);
    [[maybe_unused]] const ssize_t ignored = ::write(g_signalPipe[1], &byte, 1);
    errno = saved;
}

bool installSignalPipe()
{
    if (::pipe(g_signalPipe) != 0)
        return false;
    for (int fd : g_signalPipe) {
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    return ::sigaction(SIGINT, &action, nullptr) == 0 && ::sigaction(SIGTERM, &action, nullptr) == 0;
}

void say(FILE* stream, const QString& text)
{
    std::fputs(text.toLocal8Bit().constData(), stream);
    std::fflush(stream);
}

void complain(const QString& text) { say(stderr, QStringLiteral("tallyscope-record: ") + text + u'\n'); }

/// Which cells keep Run disabled, in words.
QString calibrationProblems(const CalibrationModel& model)
{
    struct Window {
        CalibrationModel::Cell cell;
        const char* name;
        int low;
        int high;
    };
    static constexpr Window windows[] = {{CalibrationModel::ALow, "A low", 450, 550},
                                         {CalibrationModel::AHigh, "A high", 3550, 3650},
                                         {CalibrationModel::BLow, "B low", 450, 550},
                                         {CalibrationModel::BHigh, "B high", 3550, 3650}};
    QStringList problems;
    for (const Window& w : windows) {
        const QString text = model.cell(w.cell);
        const double v = numbers::leadingNumber(text);
        if (text == CalibrationModel::Unknown)
            problems.append(QStringLiteral("%1 ??? (no reply)").arg(QLatin1String(w.name)));
        else if (!(v > w.low && v < w.high))
            problems.append(QStringLiteral("%1 %2 (needs %3 < x < %4)").arg(QLatin1String(w.name), text).arg(w.low).arg(w.high));
    }
    return problems.join(QStringLiteral(", "));
}

QString grouped(quint64 v) { return numberformat::grouped(qint64(v), u","); }

QString megabytes(quint64 bytes) { return QString::number(double(bytes) / 1e6, 'f', 1) + QStringLiteral(" MB"); }

} // namespace

int main(int argc, char* argv[])
{
    CommandLine cli(QStringLiteral("tallyscope-record"), QStringLiteral(
        "Records one run of the timing instrument without a window: connects, calibrates, runs with File ticked\n"
        "and writes the data file and its .json sidecar exactly as the panel does, until --duration or --records\n"
        "is reached or it is interrupted (Ctrl-C, SIGTERM).\n"
        "Exit codes: 0 done, 1 the data file could not be written, 2 no connection within the timeout,\n"
        "3 calibration outside its windows, 4 connection lost, 64 bad arguments, 130 SIGINT, 143 SIGTERM\n"
        "(after an interrupt the data file and the sidecar are complete)."));
    QCommandLineParser& p = cli.parser();
    const QCommandLineOption addressOpt(QStringLiteral("address"), QStringLiteral("The instrument's address (required)."),
                                        QStringLiteral("HOST"));
    const QCommandLineOption portOpt(QStringLiteral("port"), QStringLiteral("The instrument's port (default 37829)."),
                                     QStringLiteral("N"));
    const QCommandLineOption folderOpt(QStringLiteral("folder"),
                                       QStringLiteral("Where the data file goes (default: %1).").arg(DataFile::defaultFolder()),
                                       QStringLiteral("DIR"));
    const QCommandLineOption durationOpt(QStringLiteral("duration"), QStringLiteral("Stop the run after S seconds."),
                                         QStringLiteral("S"));
    const QCommandLineOption recordsOpt(QStringLiteral("records"),
                                        QStringLiteral("Stop the run once N records are written (the arrival that reaches N "
                                                       "is written whole)."),
                                        QStringLiteral("N"));
    const QCommandLineOption verboseOpt(QStringLiteral("verbose"), QStringLiteral("Verbose record lines (the Verbose option)."));
    const QCommandLineOption rawOpt(QStringLiteral("raw"), QStringLiteral("Raw 7-byte records instead of lines (the Raw option)."));
    const QCommandLineOption timeoutOpt(QStringLiteral("connect-timeout"),
                                        QStringLiteral("Keep trying to connect, once a second, for S seconds (default 10)."),
                                        QStringLiteral("S"));
    p.addOptions({addressOpt, portOpt, folderOpt, durationOpt, recordsOpt, verboseOpt, rawOpt, timeoutOpt});

    if (const auto exitCode = cli.parse(CommandLine::arguments(argc, argv)))
        return *exitCode;
    if (!p.positionalArguments().isEmpty())
        return cli.usage(QStringLiteral("unexpected argument \"%1\"").arg(p.positionalArguments().constFirst()));
    // There is deliberately no default: the factory address belongs to a real instrument.
    const QString address = p.value(addressOpt).trimmed();
    if (address.isEmpty())
        return cli.usage(QStringLiteral("--address HOST is required"));
    quint16 port = ConnectionManager::DefaultPort;
    if (p.isSet(portOpt)) {
        const auto v = CommandLine::port(p.value(portOpt));
        if (!v)
            return cli.usage(QStringLiteral("--port takes a number from 1 to 65535"));
        port = *v;
    }
    const auto positiveSeconds = [&p](const QCommandLineOption& o) -> std::optional<double> {
        bool ok = false;
        const double v = QLocale::c().toDouble(p.value(o), &ok);
        return ok && v > 0 && v < 1e7 ? std::optional(v) : std::nullopt;
    };
    std::optional<double> duration;
    if (p.isSet(durationOpt) && !(duration = positiveSeconds(durationOpt)))
        return cli.usage(QStringLiteral("--duration takes a positive number of seconds"));
    double connectTimeout = 10;
    if (p.isSet(timeoutOpt)) {
        const auto v = positiveSeconds(timeoutOpt);
        if (!v)
            return cli.usage(QStringLiteral("--connect-timeout takes a positive number of seconds"));
        connectTimeout = *v;
    }
    std::optional<quint64> recordLimit;
    if (p.isSet(recordsOpt)) {
        bool ok = false;
        const qulonglong v = p.value(recordsOpt).toULongLong(&ok);
        if (!ok || v == 0)
            return cli.usage(QStringLiteral("--records takes a positive whole number"));
        recordLimit = v;
    }
    const QString folder = p.isSet(folderOpt) ? p.value(folderOpt) : DataFile::defaultFolder();
    if (!QFileInfo(folder).isDir())
        return cli.usage(QStringLiteral("the folder \"%1\" does not exist").arg(folder));

    QCoreApplication app(argc, argv);
    if (!installSignalPipe()) {
        complain(QStringLiteral("cannot watch for Ctrl-C"));
        return ExitFailure;
    }

    SystemClock clock;
    QtSocket socket;
    StderrMessageBoxes boxes(QStringLiteral("tallyscope-record"));
    MessageLog log;
    InstrumentSession session(socket, clock, boxes, log);
    session.setWindowCaption(QStringLiteral("tallyscope-record"));
    DataOptions& options = session.options();
    options.display = false;
    options.verbose = p.isSet(verboseOpt);
    options.raw = p.isSet(rawOpt);
    session.setFileTicked(true);
    session.setDataFolder(folder);
    session.link().setHostText(address);
    session.link().setPort(port);

    enum class Phase { Connecting, Calibrating, Registers, Running, Done };
    Phase phase = Phase::Connecting;
    const bool terminal = ::isatty(STDOUT_FILENO) == 1;
    QElapsedTimer runTime;
    QTimer progressTimer;
    QTimer durationTimer;
    durationTimer.setSingleShot(true);
    QTimer registerWait;
    registerWait.setSingleShot(true);
    QTimer connectRetry;
    connectRetry.setSingleShot(true);
    connectRetry.setInterval(ConnectRetryMs);

    const auto progressLine = [&] {
        const LinkHealthFigures f = session.linkHealth().figures();
        const quint64 written = session.entriesWritten();
        const double seconds = double(runTime.elapsed()) / 1000.0;
        double fraction = -1;
        if (recordLimit)
            fraction = std::max(fraction, double(written) / double(*recordLimit));
        if (duration)
            fraction = std::max(fraction, seconds / *duration);
        QString line;
        if (terminal && fraction >= 0) {
            constexpr int Width = 24;
            const int filled = int(std::clamp(fraction, 0.0, 1.0) * Width);
            line = u'[' + QString(filled, u'#') + QString(Width - filled, u'-') + QStringLiteral("] %1% ").arg(int(std::clamp(fraction, 0.0, 1.0) * 100), 3);
        }
        line += QStringLiteral("%1 records  %2 records/s  %3  %4 s")
                    .arg(grouped(written), grouped(quint64(f.recordsPerSecond)), megabytes(f.bytes),
                         QString::number(seconds, 'f', 1));
        if (f.rejectedByGate + f.rejectedByPlausibility + f.bytesDroppedByResync + f.errors > 0)
            line += QStringLiteral("  lost: %1 gated, %2 implausible, %3 bytes dropped, %4 errors")
                        .arg(f.rejectedByGate)
                        .arg(f.rejectedByPlausibility)
                        .arg(f.bytesDroppedByResync)
                        .arg(f.errors);
        return line;
    };
    const auto showProgress = [&] {
        if (terminal) {
            // Clear to the end of the line: the line may have become shorter.
            say(stdout, u'\r' + progressLine() + QStringLiteral("\x1b[K"));
        } else {
            say(stdout, progressLine() + u'\n');
        }
    };

    const auto finish = [&](int code, const QString& message) {
        if (phase == Phase::Done)
            return;
        const bool wasRunning = phase == Phase::Running;
        phase = Phase::Done;
        progressTimer.stop();
        durationTimer.stop();
        connectRetry.stop();
        registerWait.stop();
        if (wasRunning) {
            showProgress();
            if (terminal)
                say(stdout, QStringLiteral("\n"));
        }
        if (session.isRunTicked())
            session.setRun(false);
        session.stopActivities();
        session.link().shutdown();
        if (!message.isEmpty())
            complain(message);
        if (wasRunning) {
            const RunSidecar& sidecar = session.runSidecar();
            say(stdout, QStringLiteral("%1 records written to %2\nsidecar %3\n")
                            .arg(session.entriesWritten())
                            .arg(session.dataFile().path(), sidecar.path()));
            if (!sidecar.errorString().isEmpty()) {
                complain(QStringLiteral("the sidecar could not be written: ") + sidecar.errorString());
                if (code == ExitOk)
                    code = ExitFailure;
            }
        }
        QCoreApplication::exit(code);
    };

    const auto startRun = [&] {
        if (phase != Phase::Registers)
            return;
        registerWait.stop();
        phase = Phase::Running;
        session.setRun(true);
        if (!session.dataFile().isOpen()) {
            finish(ExitFailure, QStringLiteral("cannot create a data file in \"%1\"").arg(folder));
            return;
        }
        say(stderr, QStringLiteral("tallyscope-record: recording to %1\n").arg(session.dataFile().path()));
        runTime.start();
        if (duration)
            durationTimer.start(int(std::min(*duration * 1000.0, 2.0e9)));
        progressTimer.start(terminal ? TerminalRefreshMs : PlainRefreshMs);
    };

    QSocketNotifier signalNotifier(g_signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, &app, [&] {
        unsigned char number = 0;
        while (::read(g_signalPipe[0], &number, 1) == 1) {
            const QString name = number == SIGINT ? QStringLiteral("SIGINT") : QStringLiteral("SIGTERM");
            finish(128 + number, phase == Phase::Running ? QStringLiteral("%1: run stopped").arg(name)
                                                          : QStringLiteral("%1: stopped before the run").arg(name));
        }
    });

    QString lastConnectMessage;
    QObject::connect(&session.link(), &ConnectionManager::logMessage, &app, [&](const QString& text, bool) {
        if (phase == Phase::Done)
            return;
        // The same refusal once a second would bury everything else.
        if (phase == Phase::Connecting && std::exchange(lastConnectMessage, text) == text)
            return;
        complain(text.trimmed());
    });
    // An instrument that is still starting refuses at first: try again once a second until the
    // connect timeout. Closing at once leaves no broken socket for the keep-alive to take for a
    // lost link.
    QObject::connect(&socket, &Socket::errorOccurred, &app, [&] {
        if (phase != Phase::Connecting)
            return;
        socket.close();
        connectRetry.start();
    });
    QObject::connect(&connectRetry, &QTimer::timeout, &app, [&] {
        if (phase == Phase::Connecting && socket.state() == Socket::Closed)
            session.link().open();
    });
    // The decoder's error lines go only to the log; show them as they come.
    quint64 logSeen = log.appendedTotal();
    QObject::connect(&log, &MessageLog::changed, &app, [&] {
        const quint64 total = log.appendedTotal();
        const qsizetype fresh = qsizetype(std::min<quint64>(total - logSeen, quint64(log.lineCount())));
        for (qsizetype row = fresh - 1; row >= 0; --row) {
            const QString line = log.line(row);
            if (line.startsWith(QStringLiteral("Doh!")))
                complain(line);
        }
        logSeen = total;
        log.acknowledgeChanges();
    });

    QObject::connect(&session.link(), &ConnectionManager::connectionEstablished, &app, [&] {
        if (phase == Phase::Connecting)
            phase = Phase::Calibrating;
    });
    QObject::connect(&session.calibrationSequence(), &CalibrationSequence::finished, &app, [&] {
        if (phase != Phase::Calibrating)
            return;
        if (!session.calibration().runGate()) {
            finish(ExitCalibration, QStringLiteral("calibration failed: ") + calibrationProblems(session.calibration()));
            return;
        }
        // The register values go into the sidecar; the run starts when all eight are in, or after a second.
        phase = Phase::Registers;
        session.registerPanel().cmdReg_Click();
        session.registerPanel().lblRegName_Click(RegisterModel::Count - 1);
        registerWait.start(RegisterWaitMs);
    });
    QObject::connect(&session.registers(), &RegisterModel::valueChanged, &app, [&] {
        for (int i = 0; i < RegisterModel::Count; ++i)
            if (!session.registers().value(i))
                return;
        startRun();
    });
    QObject::connect(&registerWait, &QTimer::timeout, &app, startRun);
    QObject::connect(&session.link(), &ConnectionManager::connectionLost, &app, [&] {
        finish(ExitConnectionLost, phase == Phase::Running ? QStringLiteral("connection lost; run stopped")
                                                           : QStringLiteral("connection lost before the run"));
    });
    QObject::connect(&session.dataFile(), &DataFile::writeFailed, &app,
                     [&](const QString& why) { finish(ExitFailure, QStringLiteral("data file: ") + why); });
    // After the session's own handler, so the count includes this arrival's records.
    QObject::connect(&session.link(), &ConnectionManager::dataArrived, &app, [&] {
        if (phase == Phase::Running && recordLimit && session.entriesWritten() >= *recordLimit)
            finish(ExitOk, QString());
    });
    QObject::connect(&durationTimer, &QTimer::timeout, &app, [&] { finish(ExitOk, QString()); });
    QObject::connect(&progressTimer, &QTimer::timeout, &app, showProgress);

    QTimer::singleShot(int(connectTimeout * 1000), &app, [&] {
        if (phase == Phase::Connecting)
            finish(ExitNoConnection,
                   QStringLiteral("no connection to %1:%2 within %3 s").arg(address).arg(port).arg(connectTimeout));
    });
    session.link().open();
    return QCoreApplication::exec();
}
