/// @brief Which addresses the update may talk to: HTTPS anywhere, plain HTTP only on this machine.
#pragma once

#include <QUrl>

/// Loopback means an address literal in 127.0.0.0/8 or ::1; a name such as "localhost" is not
/// trusted to resolve there.
class UpdateAddress {
public:
    static bool isLoopback(const QUrl& url);
    /// HTTPS with a host, or HTTP to a loopback address.
    static bool isAllowed(const QUrl& url);
    /// A redirect must land on an allowed address and never step down from HTTPS.
    static bool redirectAllowed(const QUrl& from, const QUrl& to);
};
