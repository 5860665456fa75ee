#include "logtap.h"

#include "bvlogging.h"

#include <QMutex>
#include <QRegularExpression>

namespace LogTap {
namespace {

QtMessageHandler g_previous = nullptr;
bool g_forward = false;
QMutex g_mutex;
QStringList g_warnings; // the latest few: a start's reasons, not a whole session's history
constexpr qsizetype kKeptWarnings = 8;

void handle(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    const bool library = qstrcmp(context.category, bvLog().categoryName()) == 0;
    if (library && type >= QtWarningMsg) {
        static const QRegularExpression playerName(QStringLiteral("^\"BVPlayer #\\d+\" "));
        QString text = message;
        text.remove(playerName).remove(QLatin1Char('"'));
        QMutexLocker lock(&g_mutex);
        g_warnings << text;
        if (g_warnings.size() > kKeptWarnings)
            g_warnings.removeFirst();
    }
    if (!library || g_forward)
        g_previous(type, context, message);
}

} // namespace

void install(bool forwardLibraryLines)
{
    g_forward = forwardLibraryLines;
    g_previous = qInstallMessageHandler(handle);
}

QString take()
{
    QMutexLocker lock(&g_mutex);
    const QString text = g_warnings.join(QStringLiteral("; "));
    g_warnings.clear();
    return text;
}

} // namespace LogTap
