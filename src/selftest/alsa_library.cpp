#include "selftest/alsa_library.h"

#include <dlfcn.h>

namespace {

constexpr const char* library_name = "libasound.so.2";

std::string loader_error() {
    const char* text = dlerror();
    return text != nullptr ? text : std::string(library_name) + " not loaded";
}

// Never unloaded: the test is the library's last use in the process.
bool load(alsa_library& entries, std::string& why_not) {
    void* handle = dlopen(library_name, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        why_not = loader_error();
        return false;
    }
#define TOVK_ALSA_RESOLVE(name)                                                      \
    entries.name = reinterpret_cast<decltype(entries.name)>(dlsym(handle, #name));  \
    if (entries.name == nullptr) {                                                   \
        why_not = loader_error();                                                    \
        return false;                                                                \
    }
    TOVK_ALSA_ENTRY_POINTS(TOVK_ALSA_RESOLVE)
#undef TOVK_ALSA_RESOLVE
    return true;
}

}  // namespace

const alsa_library* alsa_library_load(std::string& why_not) {
    static alsa_library entries;
    return load(entries, why_not) ? &entries : nullptr;
}
