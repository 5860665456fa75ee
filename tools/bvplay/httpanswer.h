#pragma once

#include <QByteArray>

// A whole HTTP/1.0 answer with a body, as the demo's servers send it.
inline QByteArray httpAnswer(const QByteArray &status, const QByteArray &type, const QByteArray &body)
{
    return "HTTP/1.0 " + status + "\r\nContent-Type: " + type + "\r\nContent-Length: " + QByteArray::number(body.size())
           + "\r\n\r\n" + body;
}
