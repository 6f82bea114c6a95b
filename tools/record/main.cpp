/// @brief tallyscope-record: a run recorded without a window, through the panel's own session.
#include "measure/datafile.h"
#include "platform/clock.h"
#include "platform/commandline.h"
#include "platform/qtsocket.h"
#include "platform/signalwatcher.h"
#include "platform/stderrmessageboxes.h"
#include "session/instrumentsession.h"
#include "session/messagelog.h"
#include "tools/record/headlessrecorder.h"
#include "tools/record/recordoptions.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char* argv[])
{
    CommandLine cli(
        QStringLiteral("tallyscope-record"),
        QStringLiteral(
            "Records one run of the timing instrument without a window: connects, calibrates, runs with File ticked\n"
            "and writes the data file and its .json sidecar exactly as the panel does, until --duration or --records\n"
            "is reached or it is interrupted (Ctrl-C, SIGTERM).\n"
            "Exit codes: 0 done, 1 the data file could not be written, 2 no connection within the timeout,\n"
            "3 calibration outside its windows, 4 connection lost, 64 bad arguments, 130 SIGINT, 143 SIGTERM\n"
            "(after an interrupt the data file and the sidecar are complete)."));
    const RecordOptions options(cli.parser());
    if (const auto exitCode = cli.parse(CommandLine::arguments(argc, argv)))
        return *exitCode;
    QString problem;
    auto settings = options.read(cli.parser(), &problem);
    if (!settings)
        return cli.usage(problem);
    settings->terminal = CommandLine::stdoutIsTerminal();

    QCoreApplication app(argc, argv);
    SignalWatcher watcher;
    if (!watcher.isActive()) {
        cli.complain(QStringLiteral("cannot watch for Ctrl-C"));
        return CommandLine::ExitFailure;
    }
    SystemClock clock;
    QtSocket socket;
    StderrMessageBoxes boxes(QStringLiteral("tallyscope-record"));
    int exitCode = 0;
    {
        MessageLog log;
        InstrumentSession session(socket, clock, boxes, log);
        const auto print = [](const QString& text) {
            std::fputs(text.toLocal8Bit().constData(), stdout);
            std::fflush(stdout);
        };
        HeadlessRecorder recorder(session, socket, clock, *settings, print,
                                  [&cli](const QString& line) { cli.complain(line); });
        QObject::connect(&watcher, &SignalWatcher::caught, &recorder, &HeadlessRecorder::interrupt);
        QObject::connect(&recorder, &HeadlessRecorder::finished, &app, &QCoreApplication::exit);
        recorder.start();
        exitCode = QCoreApplication::exec();
    }
    // The run's data are on the disk only once the closing sync is done: one that fails makes
    // the recording a failed one, whatever ended it.
    for (const DataFile::SyncFailure& f : DataFile::waitForPendingSyncs()) {
        cli.complain(QStringLiteral("data file: ") + f.path + QStringLiteral(": ") + f.description);
        exitCode = CommandLine::ExitFailure;
    }
    return exitCode;
}
