// Creates decoding streams from files, URLs and user callbacks, following
// playlists. Each returns a registered handle, or 0 with `error` set to a
// BASS_ERROR_* code.
#pragma once

#include "bass.h"
#include "input/net_input.h"

#include <string>

namespace bvaudio {

HSTREAM createFileStream(const std::string &path, QWORD offset, QWORD length, DWORD flags, int &error);
HSTREAM createUrlStream(const NetRequest &request, DWORD flags, DOWNLOADPROC *proc, void *user, int &error);
HSTREAM createUserFileStream(const BASS_FILEPROCS &procs, void *user, DWORD flags, int &error);

} // namespace bvaudio
