// Small readers for playlist text from a server: each looks at a bounded stretch of one line.
#pragma once

#include <QByteArray>

#include <cctype>

// The run of digits in `text` at `at` (empty when there is none).
inline QByteArray bvDigitsAt(const QByteArray &text, qsizetype at)
{
    qsizetype end = at;
    while (end < text.size() && std::isdigit(static_cast<unsigned char>(text[end])))
        ++end;
    return text.mid(at, end - at);
}
