/// @brief installlocation: /usr on Unix, the Program Files folders on Windows.
#include "platform/installlocation.h"

#include <QDir>

namespace {

// Below or at `root`, compared as Windows compares paths when `caseless`.
bool isWithin(const QString& folder, const QString& root, Qt::CaseSensitivity cs)
{
    if (root.isEmpty())
        return false;
    QString r = QDir::cleanPath(QDir::fromNativeSeparators(root));
    while (r.endsWith(u'/') && r.size() > 1)
        r.chop(1);
    const QString f = QDir::cleanPath(QDir::fromNativeSeparators(folder));
    return f.compare(r, cs) == 0 || f.startsWith(r + u'/', cs);
}

} // namespace

installlocation::Owner installlocation::ownerOf(const QString& folder)
{
#ifdef Q_OS_WIN
    for (const char* name : {"ProgramFiles", "ProgramFiles(x86)", "ProgramW6432"}) {
        if (isWithin(folder, qEnvironmentVariable(name), Qt::CaseInsensitive))
            return Owner::AllUsers;
    }
    return Owner::User;
#else
    return isWithin(folder, QStringLiteral("/usr"), Qt::CaseSensitive) ? Owner::PackageManager : Owner::User;
#endif
}
