#ifndef SYSTEMPROXY_H
#define SYSTEMPROXY_H

#include <QString>

// Names the HTTP proxy ("host:port") that the system tells programs to use, and the hosts
// that bypass it: http_proxy and no_proxy on Linux, the user's Internet settings on Windows.
// An empty proxy means direct connections.
void setSystemProxy(const QString &proxy, const QString &bypass = QString());

#endif
