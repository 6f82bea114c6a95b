/// @brief What the build fixes for the self-update: the default update address and the signing key.
#pragma once

#include <QString>

class UpdateBuildSettings {
public:
    /// The update web directory chosen at build time; empty unless the builder set one.
    static QString baseUrl();
    /// The minisign public key (base64 line) whose signature the version file must carry; empty
    /// means this build never offers an update.
    static QString publicKey();
};
