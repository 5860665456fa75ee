#pragma once

#include "bvdaastplayer.h"

#include <QObject>

// What a remote client may do with an ad-aware player beyond the player interface: click
// the ad's companion banner. Published beside the player as "BVDaast".
class AdControl : public QObject
{
    Q_OBJECT

public:
    explicit AdControl(BVDaastPlayer *facade) : QObject(facade), m_facade(facade) {}

public slots:
    void click() { m_facade->daastClick(); }

private:
    BVDaastPlayer *m_facade;
};
