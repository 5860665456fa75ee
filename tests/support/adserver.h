// A local ad server for tests: in-line DAAST and VAST documents whose media and tracking
// URLs point back at a TestHttpServer, the ad's audio (an FFmpeg tone) and a tracking
// endpoint that records every hit with its query and arrival time.
#pragma once

#include "testhttpserver.h"

#include <QByteArray>
#include <QList>
#include <QString>

namespace bvtest {

enum class AdDocumentKind { Daast1, Vast2, Vast3, Vast4 };

// An in-line audio ad of `kind` with every URL under `base`: the media at /ad/media.mp3,
// tracking at /track?e=EVENT (impression, error, click, start, firstQuartile, midpoint,
// thirdQuartile, complete, progress0..progressN for N = `progressSeconds`, companion start
// and complete as companionStart and companionComplete), the banner at /banner.png and the
// click-through at /landing. The impression and click-through URLs carry stale "sdkuiid" items.
QByteArray adDocument(AdDocumentKind kind, const QByteArray &base, int progressSeconds = 3);

struct TrackingHit {
    QByteArray event;
    QByteArray query;
    qint64 receivedMs;
};

class AdServer {
public:
    static constexpr const char *kTitle = "Brevant test ad";

    // Answers tracking requests on `server` from now on.
    explicit AdServer(TestHttpServer &server);

    // Encodes a stereo MP3 tone of `seconds` at `frequency` Hz into `directory` and serves it as the ad's media.
    bool makeMedia(const QString &directory, double frequency, double seconds);
    // Serves `document` at `path`; returns its URL.
    QString serveDocument(const QByteArray &path, const QByteArray &document);
    QByteArray base() const { return m_server.url(""); }
    // Every tracking request so far, in arrival order.
    QList<TrackingHit> hits();
    QList<QByteArray> events();

private:
    TestHttpServer &m_server;
};

} // namespace bvtest
