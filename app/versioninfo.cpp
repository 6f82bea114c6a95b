/// @brief Version text from the build's project version.
#include "app/versioninfo.h"

namespace versioninfo {
QString VersionText()
{
    return QStringLiteral("Rev:%1.%2.%3").arg(TALLYSCOPE_VERSION_MAJOR).arg(TALLYSCOPE_VERSION_MINOR).arg(TALLYSCOPE_VERSION_PATCH);
}
} // namespace versioninfo
