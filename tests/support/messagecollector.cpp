#include "messagecollector.h"

#include <algorithm>

namespace bvtest {
namespace {

MessageCollector *g_collector = nullptr;

} // namespace

MessageCollector::MessageCollector(const char *category, Levels levels)
    : m_category(category), m_levels(levels), m_previous(qInstallMessageHandler(handle))
{
    g_collector = this;
}

MessageCollector::~MessageCollector()
{
    qInstallMessageHandler(m_previous);
    g_collector = nullptr;
}

void MessageCollector::handle(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    MessageCollector *self = g_collector;
    if (!self)
        return;
    if ((self->m_levels == WarningsOnly && type != QtWarningMsg)
        || (!self->m_category.isNull() && self->m_category != context.category)) {
        if (self->m_previous)
            self->m_previous(type, context, message); // not collected: shown as usual
        return;
    }
    QMutexLocker lock(&self->m_mutex);
    self->m_lines << message;
}

QStringList MessageCollector::lines() const
{
    QMutexLocker lock(&m_mutex);
    return m_lines;
}

bool MessageCollector::saw(const QString &text) const
{
    const QStringList all = lines();
    return std::any_of(all.cbegin(), all.cend(), [&](const QString &line) { return line.contains(text); });
}

} // namespace bvtest
