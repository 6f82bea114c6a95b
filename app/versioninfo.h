/// @brief The program's own version as shown in the window.
#pragma once

#include <QString>

namespace versioninfo {
/// "Rev:" followed by major.minor.revision.
QString VersionText();
} // namespace versioninfo
