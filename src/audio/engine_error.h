// Per-thread error code of the engine's C API.
#pragma once

#include "bass.h"

namespace bvaudio {

void setError(int code);
int lastError();

// Sets `code` and returns `value`, for one-line failure returns.
template <typename T>
T fail(int code, T value)
{
    setError(code);
    return value;
}

// Sets BASS_OK and returns `value`.
template <typename T>
T succeed(T value)
{
    setError(BASS_OK);
    return value;
}

} // namespace bvaudio
