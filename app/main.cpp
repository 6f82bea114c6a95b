/// @brief Entry point: command line, single instance, then the panel.
#include "app/application.h"
#include "platform/gui/widgetmessageboxes.h"
#include "platform/settingsbackend.h"

#include <QApplication>
#include <QLockFile>
#include <cstdio>

int main(int argc, char* argv[])
{
    QApplication qapp(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Quorvel"));
    QApplication::setApplicationName(QStringLiteral("Tallyscope"));

    QString message;
    bool isError = false;
    const auto options = Application::parseArguments(QApplication::arguments(), message, isError);
    if (!options) {
        std::fputs(qPrintable(message + u'\n'), isError ? stderr : stdout);
        return isError ? 2 : 0;
    }

    WidgetMessageBoxes boxes;
    QLockFile lock(Application::lockFilePath());
    if (!Application::acquireSingleInstance(lock, boxes))
        return 1;

    QSettingsBackend settings;
    Application app(*options, settings, boxes);
    QObject::connect(&app, &Application::finished, &qapp, &QApplication::quit);
    app.start();
    return QApplication::exec();
}
