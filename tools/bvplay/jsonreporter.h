#pragma once

#include <QElapsedTimer>
#include <QJsonObject>
#include <QJsonValue>
#include <QObject>

// Prints a player's (or replica's) properties and signals as one JSON object
// per line: {"t":SECONDS,"property":NAME,"value":V} and
// {"t":SECONDS,"signal":NAME,"args":[...]}.
class JsonReporter : public QObject
{
    Q_OBJECT

public:
    // Prints every property's current value at t = 0, then follows changes and signals.
    explicit JsonReporter(QObject *player, QObject *parent = nullptr);

    // URLs as text without their passwords, enums by name, infinities as null, lists and maps
    // as arrays and objects.
    static QJsonValue toJson(const QVariant &value);

public slots:
    // An "error" line: the player's error signal, or a failure it reports only in its log
    // (a start that found nothing to play).
    void reportError(const QString &message);
    // A "metadata" line: the now-playing service's document.
    void reportMetadata(const QJsonObject &document);
    // Signal lines for an ad-aware player's ad: daastStarted, daastSkipped, daastEnded, daastError.
    void followAd(QObject *facade);

private slots:
    void propertyChanged();
    void onEnded();
    void onDeviceFailure();
    void onAdStarted(const QString &meta, const QString &imageUrl, const QString &clickUrl);
    void onAdSkipped();
    void onAdEnded();
    void onAdError(const QString &message);

private:
    void printProperty(int index);
    void printSignal(const char *name, const QJsonArray &args);
    void print(const QJsonObject &object);
    double seconds() const;

    QObject *m_player;
    QElapsedTimer m_clock;
};
