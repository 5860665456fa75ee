#include "jsonreporter.h"

#include "bvplaylisttypes.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMetaProperty>
#include <QUrl>

#include <cmath>
#include <cstdio>

JsonReporter::JsonReporter(QObject *player, QObject *parent) : QObject(parent), m_player(player)
{
    const QMetaObject *meta = player->metaObject();
    const int slot = metaObject()->indexOfSlot("propertyChanged()");
    for (int i = QObject::staticMetaObject.propertyCount(); i < meta->propertyCount(); ++i) {
        const QMetaProperty property = meta->property(i);
        if (!property.hasNotifySignal() || qstrcmp(property.name(), "nam") == 0)
            continue;
        printProperty(i);
        QMetaObject::connect(player, property.notifySignalIndex(), this, slot);
    }
    m_clock.start();
    // String connections: a player and a replica share these signatures, not a class.
    connect(player, SIGNAL(ended()), this, SLOT(onEnded()));
    connect(player, SIGNAL(deviceFailure()), this, SLOT(onDeviceFailure()));
    connect(player, SIGNAL(error(QString)), this, SLOT(reportError(QString)));
}

QJsonValue JsonReporter::toJson(const QVariant &value)
{
    if (value.metaType() == QMetaType::fromType<BVPlaylistStreams>()) {
        QJsonObject streams;
        const BVPlaylistStreams map = value.value<BVPlaylistStreams>();
        for (quint32 bitrate : map.uniqueKeys()) {
            QJsonArray urls;
            for (const QUrl &url : map.values(bitrate))
                urls.append(url.toString(QUrl::RemovePassword));
            streams.insert(QString::number(bitrate), urls);
        }
        return streams;
    }
    if (value.metaType() == QMetaType::fromType<QList<quint32>>()) {
        QJsonArray list;
        for (quint32 bitrate : value.value<QList<quint32>>())
            list.append(qint64(bitrate));
        return list;
    }
    if (value.metaType().flags() & QMetaType::IsEnumeration)
        return value.toString(); // the enumerator's name
    if (value.metaType() == QMetaType::fromType<QUrl>())
        return value.toUrl().toString(QUrl::RemovePassword);
    if (value.metaType() == QMetaType::fromType<double>() && !std::isfinite(value.toDouble()))
        return QJsonValue::Null;
    return QJsonValue::fromVariant(value);
}

double JsonReporter::seconds() const
{
    return m_clock.isValid() ? m_clock.elapsed() / 1000.0 : 0.0;
}

void JsonReporter::printProperty(int index)
{
    const QMetaProperty property = m_player->metaObject()->property(index);
    print({{"t", seconds()}, {"property", property.name()}, {"value", toJson(property.read(m_player))}});
}

void JsonReporter::propertyChanged()
{
    const QMetaObject *meta = m_player->metaObject();
    for (int i = 0; i < meta->propertyCount(); ++i)
        if (meta->property(i).notifySignalIndex() == senderSignalIndex())
            printProperty(i);
}

void JsonReporter::printSignal(const char *name, const QJsonArray &args)
{
    print({{"t", seconds()}, {"signal", name}, {"args", args}});
}

void JsonReporter::onEnded()
{
    printSignal("ended", {});
}

void JsonReporter::onDeviceFailure()
{
    printSignal("deviceFailure", {});
}

void JsonReporter::followAd(QObject *facade)
{
    connect(facade, SIGNAL(daastStarted(QString,QString,QString)), this, SLOT(onAdStarted(QString,QString,QString)));
    connect(facade, SIGNAL(daastSkipped()), this, SLOT(onAdSkipped()));
    connect(facade, SIGNAL(daastEnded()), this, SLOT(onAdEnded()));
    connect(facade, SIGNAL(daastError(QString)), this, SLOT(onAdError(QString)));
}

void JsonReporter::onAdStarted(const QString &meta, const QString &imageUrl, const QString &clickUrl)
{
    printSignal("daastStarted", {meta, toJson(QUrl(imageUrl)), toJson(QUrl(clickUrl))});
}

void JsonReporter::onAdSkipped()
{
    printSignal("daastSkipped", {});
}

void JsonReporter::onAdEnded()
{
    printSignal("daastEnded", {});
}

void JsonReporter::onAdError(const QString &message)
{
    printSignal("daastError", {message});
}

void JsonReporter::reportError(const QString &message)
{
    printSignal("error", {message});
}

void JsonReporter::reportMetadata(const QJsonObject &document)
{
    // A cover made absolute from a metadata URL with credentials would carry its password.
    QJsonObject shown = document;
    if (shown.contains(QLatin1String("cover")))
        shown.insert(QLatin1String("cover"), toJson(QUrl(shown.value(QLatin1String("cover")).toString())));
    print({{"t", seconds()}, {"metadata", shown}});
}

void JsonReporter::print(const QJsonObject &object)
{
    std::printf("%s\n", QJsonDocument(object).toJson(QJsonDocument::Compact).constData());
    std::fflush(stdout);
}
