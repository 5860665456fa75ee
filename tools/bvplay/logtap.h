#pragma once

#include <QStringList>

// Receives the library's log lines: forwards them to standard error with --log
// and keeps its latest warnings since the last take(), so bvplay can say why a
// start failed without --log.
namespace LogTap {

void install(bool forwardLibraryLines);
// The warnings since the last call, without the player's name, joined by "; ".
QString take();

} // namespace LogTap
