/// @brief The program's own version, as every executable of the project shows it.
#pragma once

#include <QString>

namespace versioninfo {
/// major.minor.revision, e.g. "1.0.8".
QString versionNumber();
/// "Rev:" followed by major.minor.revision.
QString VersionText();
} // namespace versioninfo
