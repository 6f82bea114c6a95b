/// @brief tallyscope-updater N [SHA256]: the changeover program the panel downloads and hands its update to.
#include "update/updater/changeover.h"

#include <QCoreApplication>
#include <cstdio>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();

    Changeover::Settings settings;
    settings.folder = QCoreApplication::applicationDirPath();
#ifdef Q_OS_WIN
    settings.executableSuffix = QStringLiteral(".exe");
#endif
    settings.programName = args.value(1);
    settings.sha256Hex = args.value(2);
    settings.panelPid = qEnvironmentVariableIntValue("TALLYSCOPE_PANEL_PID");
    if (args.size() != 2 && args.size() != 3) {
        std::fputs("usage: tallyscope-updater PROGRAM-NAME [SHA256]\n", stderr);
        return 2;
    }

    int exitCode = 0;
    Changeover changeover(settings, [&exitCode](int code) {
        exitCode = code;
        QCoreApplication::exit(code);
    });
    // Started from the event loop so that exit() inside it ends exec().
    QMetaObject::invokeMethod(&app, [&changeover] { changeover.start(); }, Qt::QueuedConnection);
    QCoreApplication::exec();
    return exitCode;
}
