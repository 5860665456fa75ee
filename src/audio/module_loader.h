// The engine's optional modules (FFmpeg's formats, TLS over libcurl): shared objects
// loaded on first use, so that a process that never needs one maps none of its libraries.
#pragma once

namespace bvaudio {

// The address of `symbol` in the module `fileName`: beside the engine's own binary in an
// installed tree ("brevantplayer/" next to it), or at `buildPath` while the engine is linked
// into tests and tools. nullptr when neither loads or the symbol is missing.
void *moduleSymbol(const char *fileName, const char *buildPath, const char *symbol);

} // namespace bvaudio
