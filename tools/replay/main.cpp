/// @brief tallyscope-replay: turns a raw data file back into the record lines the panel would have written, through the
/// panel's own decoder.
#include "platform/commandline.h"
#include "tools/replay/replayjob.h"
#include "tools/replay/replayoptions.h"

#include <QCoreApplication>

int main(int argc, char* argv[])
{
    CommandLine cli(
        QStringLiteral("tallyscope-replay"),
        QStringLiteral(
            "Decodes a raw data file (7-byte records back to back) with the panel's decoder and writes the record\n"
            "lines the panel would have written (CR LF), with summary statistics on stderr.\n"
            "Calibration and Tau come from the sidecar beside the file unless given here; values given here apply\n"
            "to the whole file, the sidecar's changes during the run only to the sidecar's own values.\n"
            "Exit codes: 0 done, 1 a file could not be read or written, 64 bad arguments,\n"
            "65 the data did not decode cleanly (the lines that did are still written)."));
    const ReplayOptions options(cli.parser());
    if (const auto exitCode = cli.parse(CommandLine::arguments(argc, argv)))
        return *exitCode;
    QString problem;
    const auto settings = options.read(cli.parser(), &problem);
    if (!settings)
        return cli.usage(problem);
    QCoreApplication app(argc, argv);
    return ReplayJob(*settings, cli).run();
}
