/// @brief UpdateAddress: the scheme and host rules for update addresses and their redirects.
#include "update/updateaddress.h"

#include <QHostAddress>

bool UpdateAddress::isLoopback(const QUrl& url)
{
    QHostAddress host;
    return host.setAddress(url.host()) && host.isLoopback();
}

bool UpdateAddress::isAllowed(const QUrl& url)
{
    if (!url.isValid() || url.host().isEmpty())
        return false;
    if (url.scheme() == u"https")
        return true;
    return url.scheme() == u"http" && isLoopback(url);
}

bool UpdateAddress::redirectAllowed(const QUrl& from, const QUrl& to)
{
    return isAllowed(to) && (from.scheme() != u"https" || to.scheme() == u"https");
}
