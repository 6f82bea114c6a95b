/// @brief Version texts from the build's project version.
#include "platform/versioninfo.h"

namespace versioninfo {

QString versionNumber()
{
    return QStringLiteral("%1.%2.%3")
        .arg(TALLYSCOPE_VERSION_MAJOR)
        .arg(TALLYSCOPE_VERSION_MINOR)
        .arg(TALLYSCOPE_VERSION_PATCH);
}

QString VersionText() { return QStringLiteral("Rev:") + versionNumber(); }

} // namespace versioninfo
