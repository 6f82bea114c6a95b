/// @brief tallyscope-sim: the instrument simulator on 127.0.0.1, for demos, manual tests and benchmarks.
#include "platform/versioninfo.h"
#include "sim/instrumentsimulator.h"
#include "sim/simulatoroptions.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTextStream>
#include <QTimer>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tallyscope-sim"));
    QCoreApplication::setApplicationVersion(versioninfo::versionNumber());

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Plays the timing instrument's side of the protocol on 127.0.0.1.\n\n"
                                                    "Faults (--fault), counted from start:\n")
                                     + FaultSchedule::syntaxHelp());
    parser.addHelpOption();
    parser.addVersionOption();
    SimulatorOptions options(parser);
    parser.process(app);

    QTextStream err(stderr);
    QString problem;
    if (!options.read(parser, &problem)) {
        err << "tallyscope-sim: " << problem << Qt::endl;
        return 2;
    }
    InstrumentSimulator simulator(options.config());
    if (!simulator.start(options.port())) {
        err << "tallyscope-sim: " << simulator.errorString() << Qt::endl;
        return 1;
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

    return app.exec();
}
