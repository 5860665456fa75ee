#include "module_loader.h"

#include <dlfcn.h>

#include <string>

namespace bvaudio {

void *moduleSymbol(const char *fileName, const char *buildPath, const char *symbol)
{
    std::string installed;
    Dl_info self{};
    if (dladdr(reinterpret_cast<void *>(&moduleSymbol), &self) && self.dli_fname) {
        installed = self.dli_fname;
        installed.erase(installed.find_last_of('/') + 1);
        installed += std::string("brevantplayer/") + fileName;
    }
    for (const std::string &path : {installed, std::string(buildPath)}) {
        if (void *module = path.empty() ? nullptr : dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL))
            return dlsym(module, symbol);
    }
    return nullptr;
}

} // namespace bvaudio
