#include "bvrequestidentity.h"

#include <QUrlQuery>

namespace BVRequestIdentity {
namespace {

void replaceItem(QUrlQuery &query, const QString &key, const QString &value)
{
    if (value.isEmpty())
        return;
    query.removeAllQueryItems(key);
    query.addQueryItem(key, value);
}

} // namespace

QUrl withStatisticsItems(const QUrl &url, const QString &userId, const QString &utmMark)
{
    if (userId.isEmpty() && utmMark.isEmpty())
        return url;
    QUrlQuery query(url);
    replaceItem(query, QStringLiteral("hssuid"), userId);
    replaceItem(query, QStringLiteral("radiotessara"), utmMark);
    QUrl edited(url);
    edited.setQuery(query);
    return edited;
}

QString effectiveReferer(const QString &referer, const QString &utmMark)
{
    return referer.isEmpty() ? utmMark : referer;
}

QByteArray basicAuthorization(const QUrl &url)
{
    const QString userInfo = url.userInfo();
    return userInfo.isEmpty() ? QByteArray() : "Basic " + userInfo.toUtf8().toBase64();
}

} // namespace BVRequestIdentity
