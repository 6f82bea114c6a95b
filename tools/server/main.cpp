/// @brief tallyscope-server: the instrument session without a window, for scripts on the control port.
#include "link/protocol.h"
#include "measure/datafile.h"
#include "platform/clock.h"
#include "platform/commandline.h"
#include "platform/qtsocket.h"
#include "platform/signalwatcher.h"
#include "platform/stderrmessageboxes.h"
#include "remote/controlport.h"
#include "tools/server/headlessserver.h"

#include <QCoreApplication>
#include <QDir>

int main(int argc, char* argv[])
{
    CommandLine cli(
        QStringLiteral("tallyscope-server"),
        QStringLiteral(
            "Connects to the timing instrument and keeps its session (calibration, runs, data files, histogram)\n"
            "without a window, for scripts that speak SCPI on the control port, until SIGINT or SIGTERM\n"
            "(a run under way then ends with its data file and sidecar complete). See tallyscope-server(1).\n"
            "Exit codes: 0 stopped by a signal, 1 the control port could not be opened or a data file did not reach "
            "the\n"
            "disk, 64 bad arguments."));
    QCommandLineParser& p = cli.parser();
    const QCommandLineOption address(QStringLiteral("address"), QStringLiteral("The instrument's address (required)."),
                                     QStringLiteral("host"));
    const QCommandLineOption port(QStringLiteral("port"), QStringLiteral("The instrument's TCP port."),
                                  QStringLiteral("n"), QString::number(protocol::DefaultPort));
    const QCommandLineOption folder(QStringLiteral("data-folder"),
                                    QStringLiteral("Where data files go until FILE:PATH says otherwise (default: the "
                                                   "current folder)."),
                                    QStringLiteral("dir"));
    p.addOptions({address, port, folder});
    const ControlPortOptions controlOptions(p);
    if (const auto exitCode = cli.parse(CommandLine::arguments(argc, argv)))
        return *exitCode;

    HeadlessServer::Settings settings;
    QString problem;
    const auto control = controlOptions.read(p, &problem);
    if (!problem.isEmpty())
        return cli.usage(problem);
    if (!control)
        return cli.usage(QStringLiteral("--control-port is required"));
    settings.control = *control;
    settings.address = p.value(address).trimmed();
    if (settings.address.isEmpty())
        return cli.usage(QStringLiteral("--address is required"));
    const auto instrumentPort = CommandLine::port(p.value(port));
    if (!instrumentPort)
        return cli.usage(QStringLiteral("--port: expected 1 to 65535"));
    settings.port = *instrumentPort;
    settings.folder = QDir::toNativeSeparators(
        QDir(p.isSet(folder) ? p.value(folder) : QDir::currentPath()).absolutePath());

    QCoreApplication app(argc, argv);
    SignalWatcher watcher;
    if (!watcher.isActive()) {
        cli.complain(QStringLiteral("cannot watch for Ctrl-C"));
        return CommandLine::ExitFailure;
    }
    if (const QString warning = ControlPort::exposureWarning(settings.control); !warning.isEmpty())
        cli.complain(warning);
    SystemClock clock;
    QtSocket socket;
    StderrMessageBoxes boxes(QStringLiteral("tallyscope-server"));
    int exitCode = 0;
    {
        HeadlessServer server(socket, clock, boxes, settings, [&cli](const QString& line) { cli.complain(line); });
        QString error;
        if (!server.start(&error)) {
            cli.complain(QStringLiteral("control port: ") + error);
            return CommandLine::ExitFailure;
        }
        for (const QString& line : server.controlPort().listeningLines())
            cli.complain(line);
        QObject::connect(&watcher, &SignalWatcher::caught, &server, &HeadlessServer::interrupt);
        QObject::connect(&server, &HeadlessServer::finished, &app, &QCoreApplication::exit);
        exitCode = QCoreApplication::exec();
    }
    // The last run's data reach the disk before the server is gone.
    for (const DataFile::SyncFailure& f : DataFile::waitForPendingSyncs()) {
        cli.complain(f.path + QStringLiteral(": ") + f.description);
        exitCode = CommandLine::ExitFailure;
    }
    return exitCode;
}
