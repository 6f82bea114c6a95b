/// @brief tallyscope-updater N [SHA256]: the changeover program the panel downloads and hands its update to.
#include "platform/commandline.h"
#include "update/updater/changeover.h"

#include <QCoreApplication>

int main(int argc, char* argv[])
{
    CommandLine cli(QStringLiteral("tallyscope-updater"),
                    QStringLiteral(
                        "Started by the panel once it has downloaded an update: waits for the panel to end, puts\n"
                        "\"Downloaded Update\" in place of the program NAME in its own folder and starts it.\n"
                        "Exit codes: 0 done, 1 the changeover failed (see tallyscope-updater.log), 64 bad arguments."));
    cli.parser().addPositionalArgument(QStringLiteral("NAME"),
                                       QStringLiteral("The program to replace, without a folder."));
    cli.parser().addPositionalArgument(QStringLiteral("SHA256"),
                                       QStringLiteral("The digest \"Downloaded Update\" must have (hex); checked just "
                                                      "before the rename."),
                                       QStringLiteral("[SHA256]"));
    if (const auto exitCode = cli.parse(CommandLine::arguments(argc, argv)))
        return *exitCode;
    const QStringList names = cli.parser().positionalArguments();
    if (names.size() != 1 && names.size() != 2)
        return cli.usage(QStringLiteral("give one program NAME and at most one SHA256"));

    QCoreApplication app(argc, argv);
    Changeover::Settings settings;
    settings.folder = QCoreApplication::applicationDirPath();
#ifdef Q_OS_WIN
    settings.executableSuffix = QStringLiteral(".exe");
#endif
    settings.programName = names.constFirst();
    settings.sha256Hex = names.value(1);
    settings.panelPid = qEnvironmentVariableIntValue("TALLYSCOPE_PANEL_PID");

    int exitCode = 0;
    Changeover changeover(settings, [&exitCode](int code) {
        exitCode = code;
        QCoreApplication::exit(code);
    });
    // Started from the event loop so that exit() inside it ends exec().
    QMetaObject::invokeMethod(
        &app, [&changeover] { changeover.start(); }, Qt::QueuedConnection);
    QCoreApplication::exec();
    return exitCode;
}
