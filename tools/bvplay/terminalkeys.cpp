#include "terminalkeys.h"

#include "rep_bvplayer_source.h"

#include "watchdog.h"

#include <QSocketNotifier>

#include <unistd.h>

bool TerminalKeys::available()
{
    return isatty(STDIN_FILENO) && isatty(STDOUT_FILENO);
}

TerminalKeys::TerminalKeys(BVPlayerSource *player, QObject *parent, std::function<void()> click)
    : QObject(parent),
      m_player(player),
      m_click(std::move(click)),
      m_notifier(new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, this))
{
    tcgetattr(STDIN_FILENO, &m_saved);
    termios raw = m_saved;
    raw.c_lflag &= ~tcflag_t(ICANON | ECHO);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    tcsetattr(STDIN_FILENO, TCSANOW, &raw);
    Watchdog::setBeforeForcedExit([saved = m_saved] { tcsetattr(STDIN_FILENO, TCSANOW, &saved); });
    connect(m_notifier, &QSocketNotifier::activated, this, &TerminalKeys::readKeys);
}

TerminalKeys::~TerminalKeys()
{
    tcsetattr(STDIN_FILENO, TCSANOW, &m_saved);
}

void TerminalKeys::readKeys()
{
    char buffer[16];
    const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n <= 0) {
        m_notifier->setEnabled(false);
        return;
    }
    handle(QByteArray(buffer, int(n)));
}

void TerminalKeys::handle(const QByteArray &key)
{
    BVPlayerSource &p = *m_player;
    if (key == " ")
        p.isPlaying() ? p.pause() : p.play();
    else if (key == "s")
        p.stop();
    else if (key == "+")
        p.setVolume(qMin(p.volume() + 0.1, 2.0));
    else if (key == "-")
        p.setVolume(qMax(p.volume() - 0.1, 0.0));
    else if (key == "d")
        p.setDuckVolume(!p.duckVolume());
    else if (key == "q")
        p.setPlayingQuality(BVPlayerSource::Quality((p.playingQuality() + 1) % 4));
    else if (key == "\033[C")
        p.skipForward(10);
    else if (key == "\033[D")
        p.skipBackward(10);
    else if (key == "c" && m_click)
        m_click();
}
