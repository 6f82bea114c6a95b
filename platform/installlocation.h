/// @brief Whose a program folder is: the user's own, or one the system's installer manages.
#pragma once

#include <QString>

namespace installlocation {

enum class Owner {
    User,           ///< the user's own folder: the program may replace itself there
    PackageManager, ///< /usr and below: the package manager updates it
    AllUsers,       ///< Windows' Program Files (either of them): installed for every user of the machine
};

/// Decided by the folder's place alone, whatever its permissions say: root may write /usr, and
/// an administrator (or Wine, which keeps no permissions) may write Program Files.
/// On Windows the Program Files folders come from %ProgramFiles%, %ProgramFiles(x86)% and
/// %ProgramW6432%, read at each call.
Owner ownerOf(const QString& folder);

} // namespace installlocation
