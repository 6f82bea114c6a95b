/// @brief Per-user private folders: the runtime folder on Unix, the local application data on Windows.
#include "platform/userfolders.h"

#include <QDir>
#include <QStandardPaths>

QString userfolders::privateRuntimeFolder()
{
#ifdef Q_OS_WIN
    // Qt's runtime location on Windows is the home folder itself; the local application data
    // is per user, per machine and not roamed, which is what a lock wants.
    const QString base = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (base.isEmpty())
        return {};
    const QString dir = base + QStringLiteral("/Quorvel/Tallyscope");
    return QDir().mkpath(dir) ? dir : QString();
#else
    return QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
#endif
}
