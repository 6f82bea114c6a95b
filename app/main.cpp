/// @brief Entry point: command line, single instance, then the panel.
#include "app/application.h"
#include "measure/datafile.h"
#include "platform/commandline.h"
#include "platform/gui/widgetmessageboxes.h"
#include "platform/settingsbackend.h"
#include "platform/signalwatcher.h"

#include <QApplication>
#include <QLockFile>
#include <cstdio>

int main(int argc, char* argv[])
{
    // Before QApplication: --help, --version and a bad argument must work without a display.
    CommandLine::useParentConsole();
    Application::Options options;
    if (const auto exitCode = Application::parseArguments(CommandLine::arguments(argc, argv), options))
        return *exitCode;

    QApplication qapp(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Quorvel"));
    QApplication::setApplicationName(QStringLiteral("Tallyscope"));

    WidgetMessageBoxes boxes;
    QLockFile lock(Application::lockFilePath());
    QString lockWarning;
    if (!Application::acquireSingleInstance(lock, boxes, lockWarning, [] { QCoreApplication::exit(1); })) {
        // Whatever the answer, this panel ends once the refusal is answered.
        return QApplication::exec();
    }

    QSettingsBackend settings;
    int exitCode = 0;
    {
        Application app(options, settings, boxes);
        if (!lockWarning.isEmpty())
            app.logNote(lockWarning);
        // Asked for and not to be had is an error: a script would otherwise wait on a panel
        // that never listens.
        if (QString error; !app.openControlPort(&error)) {
            std::fprintf(stderr, "tallyscope: control port: %s\n", qPrintable(error));
            return 1;
        }
        QObject::connect(&app, &Application::finished, &qapp, &QApplication::quit);
        // SIGTERM or Ctrl-C ends the panel as closing its window does: Run off with the data
        // file and sidecar complete, the link closed, the geometry saved.
        SignalWatcher signals_;
        QObject::connect(&signals_, &SignalWatcher::caught, &app, &Application::stop);
        app.start();
        exitCode = QApplication::exec();
    }
    // The last run's data reach the disk before the panel is gone.
    for (const DataFile::SyncFailure& f : DataFile::waitForPendingSyncs()) {
        std::fprintf(stderr, "tallyscope: %s: %s\n", qPrintable(f.path), qPrintable(f.description));
        exitCode = 1;
    }
    return exitCode;
}
