// Collects a test's log messages of one category (the library's by default, any with nullptr), warnings only
// if asked, instead of printing them; the rest show as usual. Thread-safe (engine threads log too). One at a time.
#pragma once

#include <QMutex>
#include <QStringList>

namespace bvtest {

class MessageCollector {
public:
    static constexpr const char *kLibrary = "com.orlenza.brevantplayer";
    enum Levels { AllLevels, WarningsOnly };

    explicit MessageCollector(const char *category = kLibrary, Levels levels = AllLevels);
    ~MessageCollector();
    MessageCollector(const MessageCollector &) = delete;
    MessageCollector &operator=(const MessageCollector &) = delete;

    QStringList lines() const;
    // Whether any line holds `text`.
    bool saw(const QString &text) const;

private:
    static void handle(QtMsgType type, const QMessageLogContext &context, const QString &message);

    const QByteArray m_category;
    const Levels m_levels;
    QtMessageHandler m_previous;
    mutable QMutex m_mutex;
    QStringList m_lines;
};

} // namespace bvtest
