/// @brief tallyscope-sim: the instrument simulator on 127.0.0.1, for demos, manual tests and benchmarks.
#include "platform/commandline.h"
#include "sim/instrumentsimulator.h"
#include "sim/simulatoroptions.h"

#include <QCoreApplication>
#include <QTextStream>
#include <QTimer>

int main(int argc, char* argv[])
{
    CommandLine cli(QStringLiteral("tallyscope-sim"),
                    QStringLiteral("Plays the timing instrument's side of the protocol on 127.0.0.1.\n\n"
                                   "Faults (--fault), counted from start:\n")
                        + FaultSchedule::syntaxHelp());
    SimulatorOptions options(cli.parser());
    if (const auto exitCode = cli.parse(CommandLine::arguments(argc, argv)))
        return *exitCode;
    QString problem;
    if (!cli.parser().positionalArguments().isEmpty())
        return cli.usage(
            QStringLiteral("unexpected argument \"%1\"").arg(cli.parser().positionalArguments().constFirst()));
    if (!options.read(cli.parser(), &problem))
        return cli.usage(problem);

    QCoreApplication app(argc, argv);
    QTextStream err(stderr);
    InstrumentSimulator simulator(options.config());
    if (!simulator.start(options.port())) {
        cli.complain(simulator.errorString());
        return CommandLine::ExitFailure;
    }
    // Scripts wait for this line (and read the port from it when they asked for port 0).
    QTextStream(stdout) << "listening on 127.0.0.1:" << simulator.port() << Qt::endl;

    options.faults().arm(simulator);
    if (options.durationSeconds() > 0)
        QTimer::singleShot(qint64(options.durationSeconds() * 1000), &app, &QCoreApplication::quit);

    QTimer stats;
    quint64 lastRecords = 0;
    QObject::connect(&stats, &QTimer::timeout, &simulator, [&] {
        const quint64 records = simulator.recordsSent();
        err << "connections " << simulator.connectionCount() << "  records " << records << "  last second "
            << records - lastRecords << Qt::endl;
        lastRecords = records;
    });
    if (options.printStats())
        stats.start(1000);

    const int exitCode = app.exec();
    // With --blast the count is the reader's reference for losses: exact, once more at the end.
    if (options.config().blast)
        err << "records " << simulator.recordsSent() << " sent in total" << Qt::endl;
    return exitCode;
}
