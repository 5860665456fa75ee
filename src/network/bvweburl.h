// Where URLs from a server's documents may lead: a playlist's entries, a now-playing cover,
// an ad's banner, click-through and tracking URLs are http(s) only, never a local file, a
// script or inline data that a host would open or show.
#pragma once

#include <QUrl>

inline bool bvIsWebUrl(const QUrl &url)
{
    const QString scheme = url.scheme();
    return scheme.compare(QLatin1String("http"), Qt::CaseInsensitive) == 0
           || scheme.compare(QLatin1String("https"), Qt::CaseInsensitive) == 0;
}

// An entry of a list may be played: a network URL, or a local file named by a local list
// (one the host itself gave).
inline bool bvIsAllowedEntry(const QUrl &entry, const QUrl &listUrl)
{
    return bvIsWebUrl(entry) || (listUrl.isLocalFile() && entry.isLocalFile());
}
