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

QString withoutPassword(QString text, const QUrl &url)
{
    const QString password = url.password(QUrl::FullyDecoded);
    if (password.isEmpty())
        return text;
    for (const QString &form : {url.password(QUrl::FullyEncoded), password})
        text.replace(QLatin1Char(':') + form + QLatin1Char('@'), QStringLiteral("@"));
    return text;
}

bool isSameOrigin(const QUrl &a, const QUrl &b)
{
    return a.scheme().compare(b.scheme(), Qt::CaseInsensitive) == 0
           && a.host().compare(b.host(), Qt::CaseInsensitive) == 0 && a.port(-1) == b.port(-1);
}

} // namespace BVRequestIdentity
