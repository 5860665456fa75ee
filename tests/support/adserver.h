// A local ad server for tests: in-line DAAST and VAST documents whose media and tracking
// URLs point back at it, the ad's audio (an FFmpeg tone) and a tracking endpoint that
// records every hit with its arrival time.
#pragma once

#include "testhttpserver.h"

#include <QByteArray>
#include <QList>
#include <QString>

namespace bvtest {

// An in-line DAAST 1.0 audio ad of 3 s with every URL under `base`: the media at /ad/media.mp3, tracking at
// /track?e=EVENT (impression, error, click, the linear events, progress0..progressN for N = `progressSeconds`,
// companionStart and companionComplete), the banner at /banner.png and the click-through at /landing.
// The impression and click-through URLs carry stale "sdkuiid" items.
QByteArray adDocument(const QByteArray &base, int progressSeconds = 3);

// VAST 4.2 as the IAB publishes it, tracking at /track?e=TAG+NAME, Error URLs at /track?e=TAG+error&code=[ERRORCODE].
// An in-line Ad: UniversalAdId before Linear, two impressions, a video, a streamed and a progressive audio file
// (`media`, the one to play), progress at 00:00:01 and 50%, the companion in its own Creative behind an HTML one.
// `sequence` above 0 puts it in a pod.
QByteArray vastInLineAd(const QByteArray &base, const QByteArray &tag, const QByteArray &title, int sequence = 0,
                        const QByteArray &media = "/ad/media.mp3");
// A wrapper Ad pointing to `next` (relative or absolute), with impression, error, start and complete tracking.
QByteArray vastWrapperAd(const QByteArray &base, const QByteArray &tag, const QByteArray &next);
// A VAST 4.2 document of `ads` (none: a no-fill answer) and root `rootXml`.
QByteArray vastDocument(const QList<QByteArray> &ads, const QByteArray &rootXml = {});

struct TrackingHit {
    QByteArray event;
    qint64 receivedMs;
};

// A TestHttpServer that also answers tracking requests.
class AdServer : public TestHttpServer {
public:
    static constexpr const char *kTitle = "Brevant test ad";

    AdServer();

    // An ad's audio: a stereo MP3 tone of `seconds` at `frequency` Hz; empty when the encoder failed.
    static QByteArray encodeMedia(double frequency, double seconds);
    // Serves `audio` as an ad's media at `path`.
    void serveMedia(const QByteArray &audio, const QByteArray &path = "/ad/media.mp3");
    // Serves `document` at `path`; returns its URL.
    QString serveDocument(const QByteArray &path, const QByteArray &document);
    QByteArray base() const { return url(""); }
    // Every tracking request so far, in arrival order.
    QList<TrackingHit> hits();
    QList<QByteArray> events();
};

} // namespace bvtest
