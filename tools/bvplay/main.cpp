// bvplay: the command-line host of BrevantPlayer. Plays a stream, playlist,
// local file, host-pushed PCM ("push:") or a recording device ("record:N")
// through BVPlayer (or BVDaastPlayer with an audio ad at every start), or
// without a URL a demo station it serves itself; prints the player's state as
// a status line or as JSON; publishes a player or drives a published one over
// Qt Remote Objects.
#include "bass.h"
#include "bvbass.h"
#include "adcontrol.h"
#include "bvdaastplayer.h"
#include "bvmetadataupdater.h"
#include "bvnetworkaccessmanager.h"
#include "bvplayer.h"
#include "bvpushplayback.h"
#include "demoadserver.h"
#include "demostation.h"
#include "hlsstation.h"
#include "jsonreporter.h"
#include "rep_bvplayer_replica.h"
#include "terminalkeys.h"
#include "watchdog.h"

#include <QCommandLineParser>
#include <QHash>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QRemoteObjectDynamicReplica>
#include <QRemoteObjectHost>
#include <QRemoteObjectNode>
#include <QSocketNotifier>
#include <QTextStream>
#include <QScopeGuard>
#include <QThread>
#include <QTimer>

#include <malloc.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <thread>

namespace {

constexpr int kExitError = 1;
constexpr int kExitUsage = 2;

const char *stateName(int state)
{
    static const char *names[] = {"playing", "stalled", "paused", "stopped", "error"};
    return state >= 0 && state < 5 ? names[state] : "?";
}

bool parseQuality(const QString &text, BVPlayerSource::Quality &quality)
{
    static const QHash<QString, BVPlayerSource::Quality> qualities{{"auto", BVPlayerSource::AutoQuality},
                                                                    {"high", BVPlayerSource::HighQuality},
                                                                    {"mid", BVPlayerSource::MidQuality},
                                                                    {"low", BVPlayerSource::LowQuality}};
    if (!qualities.contains(text))
        return false;
    quality = qualities.value(text);
    return true;
}

// `text` with control and format characters blanked: a stream title never drives the terminal.
QString printable(QString text)
{
    for (QChar &c : text)
        if (c.category() == QChar::Other_Control || c.category() == QChar::Other_Format)
            c = QLatin1Char(' ');
    return text;
}

// What a listener reads of a raw now-playing tag: the title inside an ICY "StreamTitle='…';"
// (apostrophes inside the title kept: it ends at "';"), any other text as it is.
QString listenerTitle(const QString &meta)
{
    static const QString prefix = QStringLiteral("StreamTitle='");
    if (!meta.startsWith(prefix))
        return meta;
    const qsizetype end = meta.indexOf(QLatin1String("';"), prefix.size());
    return meta.mid(prefix.size(), end < 0 ? -1 : end - prefix.size());
}

// The URL an argument names: push: and record:N as given, a URL, or a local path.
// Sets `error` when it names nothing bvplay can play.
QUrl urlFromArgument(const QString &argument, QString &error)
{
    if (argument.trimmed().isEmpty()) {
        error = QStringLiteral("the URL is empty");
        return {};
    }
    if (argument.startsWith(QLatin1String("push:")) || argument.startsWith(QLatin1String("record:")))
        return QUrl(argument);
    const QUrl url = QUrl::fromUserInput(argument, QDir::currentPath(), QUrl::AssumeLocalFile);
    static const QStringList schemes{"http", "https", "file"};
    if (!url.isValid() || !schemes.contains(url.scheme()))
        error = QStringLiteral("can not play ") + argument + QStringLiteral(": not an http(s) URL, a file, push: or record:N");
    else if (url.isLocalFile() && !QFileInfo(url.toLocalFile()).isFile())
        error = QStringLiteral("no such file: ") + url.toLocalFile();
    return error.isEmpty() ? url : QUrl();
}

// The status, redrawn in place on a terminal, one plain line per change otherwise.
class StatusPrinter : public QObject
{
public:
    // `source` is what the host drives (the player, or the ad-aware player around it); the
    // level comes from `player`.
    StatusPrinter(BVPlayerSource *source, BVPlayer *player, BVMetadataUpdater *metadata)
        : QObject(player), m_source(source), m_player(player), m_metadata(metadata), m_terminal(isatty(STDOUT_FILENO))
    {
        if (metadata) {
            connect(metadata, &BVMetadataUpdater::titleChanged, this, [this] { print(); });
            connect(metadata, &BVMetadataUpdater::subtitleChanged, this, [this] { print(); });
            connect(metadata, &BVMetadataUpdater::coverUrlChanged, this, [this] { print(); });
        }
        connect(source, &BVPlayerSource::stateChanged, this, [this] { print(); });
        connect(source, &BVPlayerSource::metaChanged, this, [this] { print(); });
        connect(source, &BVPlayerSource::currentBitrateChanged, this, [this] { print(); });
        if (m_terminal) {
            auto *timer = new QTimer(this);
            connect(timer, &QTimer::timeout, this, [this] { print(); });
            timer->start(250);
        }
    }

    ~StatusPrinter() override
    {
        if (m_terminal)
            std::printf("\n");
    }

    // A line of its own above the status line.
    void announce(const QString &text)
    {
        std::printf(m_terminal ? "\r\033[K%s\n" : "%s\n", qPrintable(printable(text)));
        m_last.clear();
        print();
    }

    // Follows the ad-aware player's ad: what it shows, and the listener's click key.
    void followAd(BVDaastPlayer *facade)
    {
        connect(facade, &BVDaastPlayer::daastStarted, this, [this](const QString &title, const QString &image, const QString &click) {
            announce(QStringLiteral("ad: \"%1\" | banner %2 | click-through %3 (c)")
                         .arg(title, QUrl(image).toString(QUrl::RemovePassword), QUrl(click).toString(QUrl::RemovePassword)));
        });
        connect(facade, &BVDaastPlayer::daastSkipped, this, [this] { announce(QStringLiteral("ad: none this time")); });
        connect(facade, &BVDaastPlayer::daastEnded, this, [this] { announce(QStringLiteral("ad: ended")); });
        connect(facade, &BVDaastPlayer::daastError, this,
                [this](const QString &message) { announce(QStringLiteral("ad: error: ") + message); });
    }

private:
    void print()
    {
        const BVPlayerSource &p = *m_source;
        const QString title = listenerTitle(p.meta());
        QString line = QStringLiteral("%1 | %2 | %3 kbit/s %4 | %5")
                           .arg(QString::fromLatin1(stateName(p.state())), title.isEmpty() ? "-" : printable(title))
                           .arg(p.currentBitrate() / 1000)
                           .arg(QString::fromLatin1(QMetaEnum::fromType<BVPlayerSource::Quality>().valueToKey(p.currentQuality())))
                           .arg(p.isSeekable() ? QString("%1/%2 s").arg(p.position(), 0, 'f', 1).arg(p.length(), 0, 'f', 1)
                                               : QStringLiteral("live"));
        line += QStringLiteral(" | buffered %1 s").arg(p.bufferedLength(), 0, 'f', 1);
        if (m_metadata && !(m_metadata->title().isEmpty() && m_metadata->subtitle().isEmpty()))
            line += QStringLiteral(" | now playing: %1 - %2 %3")
                        .arg(printable(m_metadata->title()), printable(m_metadata->subtitle()),
                             m_metadata->coverUrl().toString(QUrl::RemoveUserInfo));
        if (m_player->isUpdatesLevel())
            line += QStringLiteral(" | %1").arg(QString(int(m_player->level() * 40), QLatin1Char('#')), -40);
        if (m_terminal) {
            std::printf("\r\033[K%s", qPrintable(line));
        } else if (line != m_last) {
            std::printf("%s\n", qPrintable(line));
            m_last = line;
        }
        std::fflush(stdout);
    }

    BVPlayerSource *m_source;
    BVPlayer *m_player;
    BVMetadataUpdater *m_metadata;
    const bool m_terminal;
    QString m_last;
};

// True when `text` is a finite number within [min, max], and whole if `whole`.
bool isNumberIn(const QString &text, double min, double max, bool whole = false)
{
    bool valid = false;
    const double value = text.toDouble(&valid);
    return valid && std::isfinite(value) && value >= min && value <= max && (!whole || value == std::floor(value));
}

// Reads commands for a replica from standard input, one per line; a bad argument is an unknown command.
// "click" goes to the published ad control, when the publisher plays ads.
void readCommands(BVPlayerReplica *replica, QRemoteObjectDynamicReplica *adControl, QObject *context)
{
    auto *notifier = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, context);
    QObject::connect(notifier, &QSocketNotifier::activated, context, [replica, adControl, notifier] {
        char buffer[1024];
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer - 1);
        if (n <= 0) {
            notifier->setEnabled(false);
            return;
        }
        for (const QString &line : QString::fromUtf8(buffer, int(n)).split('\n', Qt::SkipEmptyParts)) {
            const QStringList words = line.simplified().split(' ');
            const QString command = words.value(0);
            const QString arg = words.value(1);
            BVPlayerSource::Quality quality = BVPlayerSource::AutoQuality;
            if (command == "play")
                arg.isEmpty() ? replica->play() : replica->play(QUrl::fromUserInput(arg));
            else if (command == "pause")
                replica->pause();
            else if (command == "stop")
                replica->stop();
            else if (command == "volume" && isNumberIn(arg, 0, 10))
                replica->pushVolume(arg.toDouble());
            else if (command == "seek" && isNumberIn(arg, 0, 1e7))
                replica->pushPosition(arg.toDouble());
            else if (command == "quality" && parseQuality(arg, quality))
                replica->pushPlayingQuality(BVPlayerReplica::Quality(quality));
            else if (command == "bitrate" && isNumberIn(arg, 0, 4294967295.0, true))
                replica->pushPlayingBitrate(arg.toUInt());
            else if (command == "click" && adControl->isInitialized())
                QMetaObject::invokeMethod(adControl, "click");
            else if (command == "click")
                std::fprintf(stderr, "bvplay: the published player plays no ads\n");
            else
                std::fprintf(stderr, "bvplay: unknown command '%s'\n", qPrintable(line));
        }
    });
}

// Copies standard input into the push device on a thread of its own.
void feedPushDevice(QPointer<BVPushPlaybackDevice> device)
{
    std::thread([device] {
        char buffer[17640]; // 100 ms of 16-bit stereo at 44100 Hz
        ssize_t n;
        while ((n = ::read(STDIN_FILENO, buffer, sizeof buffer)) > 0) {
            // The device refuses writes while its queue is full: try again shortly.
            while (device && device->write(buffer, n) < 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }).detach();
}

} // namespace

int main(int argc, char **argv)
{
    // A command-line player has no use for a GLib main loop: Qt's own dispatcher touches less.
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
    // Its few threads allocate little; glibc's default of an arena per thread costs
    // about a tenth of a megabyte each.
    mallopt(M_ARENA_MAX, 1);
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("bvplay"));
    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Plays an internet radio stream, playlist, local file, push: (16-bit stereo 44100 Hz PCM on standard input) "
        "or record:N through BrevantPlayer. Without a URL it plays a demo station of its own (--demo).\n"
        "Keys in a terminal: space pause/play, s stop, +/- volume, d duck, q quality, left/right skip 10 s, "
        "c click the ad's banner, Ctrl+C quits.");
    parser.addPositionalArgument("url", "Stream or playlist URL, local path, push: or record:N.", "[URL]");
    const QCommandLineOption duration("duration", "Stop after SEC seconds and exit.", "SEC");
    const QCommandLineOption device("device", "Output device: -1 default, 0 no sound, 1.. a device.", "N", "-1");
    const QCommandLineOption volume("volume", "Volume, 1 = unity gain.", "V");
    const QCommandLineOption duck("duck", "Duck the volume.");
    const QCommandLineOption rate("rate", "Playback rate, 1 = normal speed.", "R");
    const QCommandLineOption quality("quality", "auto, high, mid or low.", "Q");
    const QCommandLineOption bitrate("bitrate", "Play the stream nearest to BPS bit/s.", "BPS");
    const QCommandLineOption noRestart("no-restart", "Do not retry after errors; exit 1 instead.");
    const QCommandLineOption level("level", "Meter the level.");
    const QCommandLineOption referer("referer", "Referer of every request.", "TEXT");
    const QCommandLineOption userId("user-id", "Listener statistics identifier.", "TEXT");
    const QCommandLineOption utmMark("utm-mark", "Campaign mark.", "TEXT");
    const QCommandLineOption timeout("timeout-ms", "Time limit of every request.", "N");
    const QCommandLineOption log("log", "The library's log lines on standard error.");
    const QCommandLineOption json("json", "One JSON object per property change and signal.");
    const QCommandLineOption publish("publish", "Publish the player as \"BVPlayer\" on NODE_URL.", "NODE_URL");
    const QCommandLineOption attach("connect", "Drive the player published on NODE_URL from standard input.", "NODE_URL");
    const QCommandLineOption metaUrl("meta-url", "Poll a now-playing JSON service (without a URL: the demo's).", "URL");
    const QCommandLineOption metaIdUrl("meta-id-url", "Its ID document, polled every 5 s instead.", "URL");
    const QCommandLineOption demo("demo", "Without a URL: the demo station as mp3 (ICY titles), hls (MPEG-TS at "
                                  "three bitrates, timed ID3 titles), hls-packed (packed AAC, ID3 titles) or "
                                  "hls-fmp4 (fragmented MP4).", "KIND", "mp3");
    const QCommandLineOption ad("ad", "Play an audio ad at every start, the stream muted under it: the DAAST or VAST "
                                "document at DOC_URL, or demo for a built-in ad served offline. Documents are read as ad "
                                "servers write them: wrappers followed, pods played.", "DOC_URL");
    const QCommandLineOption adStrict("ad-strict", "Read ad documents strictly: one in-line ad with its banner.");
    parser.addOptions({duration, device, volume, duck, rate, quality, bitrate, noRestart, level, referer, userId,
                       utmMark, timeout, log, json, publish, attach, metaUrl, metaIdUrl, demo, ad, adStrict});
    parser.addHelpOption();

    const auto usageError = [&parser](const QString &reason) {
        std::fprintf(stderr, "bvplay: %s\n%s", qPrintable(reason), qPrintable(parser.helpText()));
        return kExitUsage;
    };
    if (!parser.parse(QCoreApplication::arguments()))
        return usageError(parser.errorText());
    if (parser.isSet("help")) {
        std::printf("%s", qPrintable(parser.helpText()));
        return 0;
    }
    if (parser.positionalArguments().size() > 1)
        return usageError(QStringLiteral("more than one URL"));
    // Numbers are finite and in range; whole where a count is meant.
    QString invalid;
    const auto number = [&](const QCommandLineOption &option, double fallback, double min, double max, bool whole) {
        if (!parser.isSet(option))
            return fallback;
        if (isNumberIn(parser.value(option), min, max, whole))
            return parser.value(option).toDouble();
        if (invalid.isEmpty())
            invalid = QStringLiteral("--%1 takes %2 from %3 to %4, not '%5'")
                          .arg(option.names().first(), whole ? QStringLiteral("a whole number") : QStringLiteral("a number"))
                          .arg(min).arg(max).arg(parser.value(option));
        return fallback;
    };
    const double durationSec = number(duration, 0, 0, 1e7, false);
    const int outputDevice = int(number(device, -1, -1, 1000, true));
    const double volumeValue = number(volume, 1.0, 0, 10, false);
    const double rateValue = number(rate, 1.0, 0.01, 16, false);
    const double bitrateValue = number(bitrate, 0, 0, 4294967295.0, true);
    const double timeoutValue = number(timeout, BVNetworkAccessManager::BV_NETWORK_DEFAULT_TIMEOUT, 1, 3600000, true);
    if (!invalid.isEmpty())
        return usageError(invalid);
    BVPlayerSource::Quality qualityValue = BVPlayerSource::AutoQuality;
    if (parser.isSet(quality) && !parseQuality(parser.value(quality), qualityValue))
        return usageError(QStringLiteral("--quality takes auto, high, mid or low"));

    const QString demoKind = parser.value(demo);
    const QHash<QString, QString> hlsMasters{
        {"hls", "master.m3u8"}, {"hls-packed", "packed.m3u8"}, {"hls-fmp4", "fmp4.m3u8"}};
    if (demoKind != QLatin1String("mp3") && !hlsMasters.contains(demoKind))
        return usageError(QStringLiteral("--demo takes mp3, hls, hls-packed or hls-fmp4"));

    if (!parser.isSet(log)) // the library's own lines only on request
        QLoggingCategory::setFilterRules(QStringLiteral("com.orlenza.brevantplayer=false"));
    Watchdog::start(durationSec);
    const auto stopWatchdog = qScopeGuard([] { Watchdog::stop(); });

    if (parser.isSet(attach)) {
        QRemoteObjectNode node;
        if (!node.connectToNode(QUrl(parser.value(attach))))
            return usageError(QStringLiteral("can not connect to ") + parser.value(attach));
        QScopedPointer<BVPlayerReplica> replica(node.acquire<BVPlayerReplica>(QStringLiteral("BVPlayer")));
        QScopedPointer<QRemoteObjectDynamicReplica> adControl(node.acquireDynamic(QStringLiteral("BVDaast")));
        QObject::connect(replica.data(), &QRemoteObjectReplica::initialized, &app, [&] {
            new JsonReporter(replica.data(), replica.data());
            readCommands(replica.data(), adControl.data(), replica.data());
        });
        int status = 0;
        // A node that answers nothing within the time-out is an error, not a silent wait.
        QTimer::singleShot(int(timeoutValue), &app, [&] {
            if (replica->isInitialized())
                return;
            std::fprintf(stderr, "bvplay: error: no player published on %s\n", qPrintable(parser.value(attach)));
            status = kExitError;
            app.quit();
        });
        const int code = app.exec();
        return status ? status : code;
    }

    // An output that cannot be opened falls back to no sound. One that opens stays open for the
    // player, which finds the engine started: the sound server is connected to once.
    BVBass::outputDevice = outputDevice;
    if (outputDevice != 0) {
        if (!BASS_Init(outputDevice, 44100, 0, nullptr, nullptr)) {
            std::fprintf(stderr, "bvplay: output device %d unavailable, playing with no sound\n", outputDevice);
            BVBass::outputDevice = 0;
        }
    }

    QUrl url;
    // The demo's servers run on a thread of their own, started for them alone: the player's
    // thread blocks while the engine opens a stream.
    QThread stationThread;
    QObject stationContext;
    QObject *station = nullptr;
    DemoAdServer *adServer = nullptr;
    QUrl demoMetaUrl, demoMetaIdUrl;
    const auto onStationThread = [&](const std::function<void()> &work) {
        if (!stationThread.isRunning()) {
            stationContext.moveToThread(&stationThread);
            stationThread.start();
        }
        QMetaObject::invokeMethod(&stationContext, work, Qt::BlockingQueuedConnection);
    };
    const auto stopStation = qScopeGuard([&] {
        if (!stationThread.isRunning())
            return;
        QMetaObject::invokeMethod(&stationContext, [&] {
            delete station;
            delete adServer;
        }, Qt::BlockingQueuedConnection);
        stationThread.quit();
        stationThread.wait();
    });
    QUrl adUrl = QUrl::fromUserInput(parser.value(ad));
    if (parser.value(ad) == QLatin1String("demo")) {
        QString error;
        onStationThread([&] {
            adServer = new DemoAdServer;
            if (adServer->start(error)) {
                adUrl = adServer->documentUrl(parser.isSet(adStrict));
            } else {
                delete adServer;
                adServer = nullptr;
            }
        });
        if (!adServer) {
            std::fprintf(stderr, "bvplay: %s\n", qPrintable(error));
            return kExitError;
        }
    }
    if (parser.positionalArguments().isEmpty()) {
        QString error;
        onStationThread([&] {
            if (hlsMasters.contains(demoKind)) {
                auto *hls = new HlsStation(QStringLiteral("BrevantPlayer Demo"));
                station = hls;
                if (hls->start(0, error))
                    url = hls->masterUrl(hlsMasters.value(demoKind));
            } else {
                auto *mp3 = new DemoStation;
                station = mp3;
                if (mp3->start(error)) {
                    url = mp3->url();
                    demoMetaUrl = mp3->nowPlayingUrl();
                    demoMetaIdUrl = mp3->nowPlayingIdUrl();
                }
            }
            if (url.isEmpty()) {
                delete station;
                station = nullptr;
            }
        });
        if (!station) {
            std::fprintf(stderr, "bvplay: %s\n", qPrintable(error));
            return kExitError;
        }
    } else {
        QString error;
        url = urlFromArgument(parser.positionalArguments().first(), error);
        if (!url.isValid()) {
            std::fprintf(stderr, "bvplay: error: %s\n", qPrintable(error));
            return kExitError;
        }
    }

    BVNetworkAccessManager nam;
    nam.setReferer(parser.value(referer));
    nam.setTessaraUserId(parser.value(userId));
    nam.setTessaraUtmMark(parser.value(utmMark));
    nam.setTimeoutMs(int(timeoutValue));
    // The host drives `source`: the player itself, or the ad-aware player around it.
    QScopedPointer<BVDaastPlayer> facade(parser.isSet(ad) ? new BVDaastPlayer(&nam) : nullptr);
    QScopedPointer<BVPlayer> ownPlayer(facade ? nullptr : new BVPlayer(&nam));
    BVPlayer &player = facade ? *facade->player() : *ownPlayer;
    BVPlayerSimpleSource &source = facade ? static_cast<BVPlayerSimpleSource &>(*facade) : player;
    if (facade) {
        facade->setDaastUrl(adUrl.toString());
        facade->setIsLenient(!parser.isSet(adStrict));
    }
    source.setVolume(volumeValue);
    source.setDuckVolume(parser.isSet(duck));
    source.setPlaybackRate(rateValue);
    source.setPlayingQuality(qualityValue);
    source.setPlayingBitrate(quint32(bitrateValue));
    source.setIsRestarted(!parser.isSet(noRestart));
    player.setIsUpdatesLevel(parser.isSet(level));

    // A now-playing service beside the player: the one asked for, else the demo station's.
    BVMetadataUpdater *metadata = nullptr;
    const QUrl metaUrlValue = parser.isSet(metaUrl) ? QUrl(parser.value(metaUrl)) : demoMetaUrl;
    if (!metaUrlValue.isEmpty()) {
        metadata = new BVMetadataUpdater(&nam, &player);
        metadata->setMetaIdUrl(parser.isSet(metaIdUrl) ? QUrl(parser.value(metaIdUrl))
                               : parser.isSet(metaUrl) ? QUrl() : demoMetaIdUrl);
        metadata->setMetaUrl(metaUrlValue);
    }

    int status = 0;
    JsonReporter *reporter = parser.isSet(json) ? new JsonReporter(&source, &player) : nullptr;
    StatusPrinter *printer = reporter ? nullptr : new StatusPrinter(&source, &player, metadata);
    if (reporter && metadata)
        QObject::connect(metadata, &BVMetadataUpdater::jsonChanged, reporter, &JsonReporter::reportMetadata);
    if (facade && reporter)
        reporter->followAd(facade.data());
    else if (facade)
        printer->followAd(facade.data());
    QObject::connect(&source, &BVPlayerSource::ended, &app, &QCoreApplication::quit);
    // An error, or a start that found nothing to play, is final without retries.
    const auto endWithoutRetries = [&] {
        if (parser.isSet(noRestart)) {
            status = kExitError;
            app.quit();
        }
    };
    QObject::connect(&source, &BVPlayerSource::error, &app, [&](const QString &message) {
        if (!reporter)
            std::fprintf(stderr, "bvplay: error: %s\n", qPrintable(message));
        endWithoutRetries();
    });
    QObject::connect(&player, &BVPlayer::startFailed, &app, [&](const QString &reason) {
        const QString message = QStringLiteral("can not start ") + url.toString(QUrl::RemoveUserInfo)
                                + QStringLiteral(": ") + reason;
        if (reporter)
            reporter->reportError(message);
        else
            std::fprintf(stderr, "bvplay: error: %s\n", qPrintable(printable(message)));
        endWithoutRetries();
    });

    QScopedPointer<QRemoteObjectHost> host;
    if (parser.isSet(publish)) {
        host.reset(new QRemoteObjectHost(QUrl(parser.value(publish))));
        if (!host->enableRemoting(&source, QStringLiteral("BVPlayer"))
            || (facade && !host->enableRemoting(new AdControl(facade.data()), QStringLiteral("BVDaast"))))
            return usageError(QStringLiteral("can not publish on ") + parser.value(publish));
    }
    if (url.scheme() == QLatin1String("push"))
        feedPushDevice(player.pushPlaybackDevice());
    else if (!parser.isSet(json) && TerminalKeys::available())
        new TerminalKeys(&source, &player, facade ? [&facade] { facade->daastClick(); } : std::function<void()>());
    source.play(url);
    const int code = app.exec();
    return status ? status : code;
}
