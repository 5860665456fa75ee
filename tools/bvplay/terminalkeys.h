#pragma once

#include <QObject>

#include <functional>

#include <termios.h>

class BVPlayerSource;
class QSocketNotifier;

// Single-key control of a player from a terminal: space pause/play, s stop,
// +/- volume, d duck, q quality cycle, left/right skip 10 s, c the ad's banner
// click. The terminal is put into non-canonical mode while this object lives.
class TerminalKeys : public QObject
{
    Q_OBJECT

public:
    // `click` runs on the c key; none without an ad.
    TerminalKeys(BVPlayerSource *player, QObject *parent, std::function<void()> click);
    ~TerminalKeys() override;

    // Only on an interactive terminal.
    static bool available();

private:
    void readKeys();
    void handle(const QByteArray &key);

    BVPlayerSource *m_player;
    std::function<void()> m_click;
    QSocketNotifier *m_notifier;
    termios m_saved{};
};
