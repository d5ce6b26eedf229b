#include "Failure.h"

#include <QNetworkReply>

bool Failure::transient() const
{
    switch (cause) {
    case Incomplete:
    case TimedOut:
    // Without a length to go by, a connection reset ends a body as its end would: the
    // package's own structure is what shows it broke off.
    case CutShort:
        return true;
    case NetworkFailure:
        // A certificate refused or a proxy that wants a password would be refused again.
        return networkError != QNetworkReply::SslHandshakeFailedError
            && networkError != QNetworkReply::ProxyAuthenticationRequiredError
            && networkError != QNetworkReply::ProtocolUnknownError;
    case HttpStatus:
        // Request Timeout, Too Many Requests and the gateway's and server's passing troubles.
        return status == 408 || status == 429 || status == 500 || status == 502 || status == 503 || status == 504;
    default:
        return false;
    }
}
