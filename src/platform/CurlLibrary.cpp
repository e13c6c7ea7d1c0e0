#include "platform/CurlLibrary.h"

#include <dlfcn.h>

#include <optional>
#include <type_traits>

namespace platform {

namespace {

struct Loaded {
    std::optional<CurlLibrary> library;
    std::string failure;
};

std::string loaderError(const char* fallback) {
    const char* reason = dlerror();
    return reason ? reason : fallback;
}

Loaded openCurl() {
    // The soname Debian's libcurl4 ships (the OpenSSL flavour). Local, so its symbols
    // never stand in for another library's.
    void* handle = dlopen("libcurl.so.4", RTLD_NOW | RTLD_LOCAL);
    if (!handle) return {std::nullopt, loaderError("libcurl.so.4 does not load")};
    CurlLibrary library;
    bool missing = false;
    std::string failure;
    auto resolve = [&](const char* name, auto& function) {
        if (missing) return;
        dlerror();
        void* symbol = dlsym(handle, name);
        if (!symbol) {
            missing = true;
            failure = loaderError(name);  // dlerror names the library and the function
            return;
        }
        function = reinterpret_cast<std::remove_reference_t<decltype(function)>>(symbol);
    };
#define TIDEMARK_CURL_RESOLVE(name) resolve("curl_" #name, library.name);
    TIDEMARK_CURL_FUNCTIONS(TIDEMARK_CURL_RESOLVE)
#undef TIDEMARK_CURL_RESOLVE
    // A libcurl without every function is of no use, and none of them was called yet, so
    // it can go again. One that is initialised stays: OpenSSL is not written to be unloaded.
    if (missing) {
        dlclose(handle);
        return {std::nullopt, failure};
    }
    if (const CURLcode code = library.global_init(CURL_GLOBAL_DEFAULT); code != CURLE_OK)
        return {std::nullopt, std::string("curl_global_init failed: ") + library.easy_strerror(code)};
    return {library, {}};
}

}  // namespace

const CurlLibrary* loadCurlLibrary(std::string* failure) {
    static const Loaded loaded = openCurl();
    if (!loaded.library && failure) *failure = loaded.failure;
    return loaded.library ? &*loaded.library : nullptr;
}

}  // namespace platform
