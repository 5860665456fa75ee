#pragma once

#include <QObject>

#include <termios.h>

class BVPlayer;
class QSocketNotifier;

// Single-key control of a player from a terminal: space pause/play, s stop,
// +/- volume, d duck, q quality cycle, left/right skip 10 s. The terminal is
// put into non-canonical mode while this object lives.
class TerminalKeys : public QObject
{
    Q_OBJECT

public:
    explicit TerminalKeys(BVPlayer *player);
    ~TerminalKeys() override;

    // Only on an interactive terminal.
    static bool available();

private:
    void readKeys();
    void handle(const QByteArray &key);

    BVPlayer *m_player;
    QSocketNotifier *m_notifier;
    termios m_saved{};
};
