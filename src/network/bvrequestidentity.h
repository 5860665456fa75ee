#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>

// The identity every request carries, shared by the network access manager
// and the URL strings handed to the audio engine.
namespace BVRequestIdentity {

// `url` with one "hssuid" item for a non-empty `userId` and one "radiotessara"
// item for a non-empty `utmMark`, each replacing earlier items of its name.
QUrl withStatisticsItems(const QUrl &url, const QString &userId, const QString &utmMark);

// `referer`, or the UTM mark when the referer is empty.
QString effectiveReferer(const QString &referer, const QString &utmMark);

// "Basic " and the Base64 of the URL's user info, or empty without user info.
QByteArray basicAuthorization(const QUrl &url);

// `text` (a message that may quote `url`) with the URL's password taken out.
QString withoutPassword(QString text, const QUrl &url);

// True when both URLs name the same origin: scheme, host and port.
bool isSameOrigin(const QUrl &a, const QUrl &b);

} // namespace BVRequestIdentity
