#pragma once
// libcurl's types and constants come from its header; its code is opened at run time.
#include <curl/curl.h>

#include <string>

namespace platform {

// Every libcurl function the sessions call, in one list so that none is left unresolved.
#define TIDEMARK_CURL_FUNCTIONS(X)                                                                                     \
    X(global_init)                                                                                                     \
    X(easy_init)                                                                                                       \
    X(easy_setopt)                                                                                                     \
    X(easy_getinfo)                                                                                                    \
    X(easy_cleanup)                                                                                                    \
    X(easy_strerror)                                                                                                   \
    X(multi_init)                                                                                                      \
    X(multi_setopt)                                                                                                    \
    X(multi_add_handle)                                                                                                \
    X(multi_remove_handle)                                                                                             \
    X(multi_perform)                                                                                                   \
    X(multi_poll)                                                                                                      \
    X(multi_wakeup)                                                                                                    \
    X(multi_socket_action)                                                                                             \
    X(multi_info_read)                                                                                                 \
    X(multi_cleanup)                                                                                                   \
    X(slist_append)                                                                                                    \
    X(slist_free_all)                                                                                                  \
    X(url)                                                                                                             \
    X(url_set)                                                                                                         \
    X(url_get)                                                                                                         \
    X(url_cleanup)                                                                                                     \
    X(free)

// libcurl and the ~28 libraries under it (OpenSSL, GnuTLS, LDAP, Kerberos, SSH) cost
// several MiB resident: a process maps them only once it makes a curl session. Each
// member is the curl function of that name without its curl_ prefix.
struct CurlLibrary {
#define TIDEMARK_CURL_MEMBER(name) decltype(&curl_##name) name = nullptr;
    TIDEMARK_CURL_FUNCTIONS(TIDEMARK_CURL_MEMBER)
#undef TIDEMARK_CURL_MEMBER
};

// libcurl, opened and initialised (curl_global_init) by the first call on any thread;
// later calls return the same. Null when it cannot be used, with the loader's reason in
// *failure: the library or one of its functions is missing, or it would not initialise.
const CurlLibrary* loadCurlLibrary(std::string* failure = nullptr);

}  // namespace platform
