#include "Failure.h"

#include <QNetworkReply>

bool Failure::transient() const
{
    switch (cause) {
    case Incomplete:
    case TimedOut:
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
