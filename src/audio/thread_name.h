// Names the calling thread (as ps, top and debuggers show it), so each engine
// thread's work can be told apart.
#pragma once

#if defined(__linux__)
#include <pthread.h>
#endif

namespace bvaudio {

inline void nameThisThread(const char *name)
{
#if defined(__linux__)
    pthread_setname_np(pthread_self(), name);
#else
    (void)name;
#endif
}

} // namespace bvaudio
