/// @brief Build-time update address and signing key.
#include "update/updatebuildsettings.h"

#ifndef TALLYSCOPE_UPDATE_URL
#define TALLYSCOPE_UPDATE_URL ""
#endif
#ifndef TALLYSCOPE_UPDATE_PUBLIC_KEY
#define TALLYSCOPE_UPDATE_PUBLIC_KEY ""
#endif

QString UpdateBuildSettings::baseUrl() { return QStringLiteral(TALLYSCOPE_UPDATE_URL); }

QString UpdateBuildSettings::publicKey() { return QStringLiteral(TALLYSCOPE_UPDATE_PUBLIC_KEY); }
