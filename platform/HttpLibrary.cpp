// libcurl, loaded when the first transfer or URL needs it rather than when the program starts.
//
// libcurl pulls some thirty libraries into the process (TLS stacks, Kerberos, LDAP, ...), and
// loading and initialising them costs several times what a run without network work ("status",
// "install" of a cached installer) needs in all. So the program does not link libcurl: this
// file defines the libcurl functions the program calls, and each one forwards to libcurl,
// which is opened on the first call. When libcurl cannot be opened, each answers as libcurl
// does for a failed set-up (no handle, CURLE_FAILED_INIT), so the callers' error paths apply.

#define CURL_DISABLE_TYPECHECK 1
#include <curl/curl.h>
#include <dlfcn.h>

#include <cstdarg>
#include <mutex>

namespace {

// The library's ABI name: the headers the program is built with describe this ABI.
constexpr const char* kLibraryName = "libcurl.so.4";

struct Library {
    bool loaded = false;
    CURLcode (*globalInit)(long);
    CURL* (*easyInit)();
    void (*easyCleanup)(CURL*);
    CURLcode (*easyPerform)(CURL*);
    CURLcode (*easySetopt)(CURL*, CURLoption, ...);
    CURLcode (*easyGetinfo)(CURL*, CURLINFO, ...);
    const char* (*easyStrerror)(CURLcode);
    void (*free)(void*);
    CURLM* (*multiInit)();
    CURLMcode (*multiCleanup)(CURLM*);
    CURLMcode (*multiSetopt)(CURLM*, CURLMoption, ...);
    CURLMcode (*multiAddHandle)(CURLM*, CURL*);
    CURLMcode (*multiRemoveHandle)(CURLM*, CURL*);
    CURLMcode (*multiPerform)(CURLM*, int*);
    CURLMcode (*multiPoll)(CURLM*, curl_waitfd[], unsigned int, int, int*);
    CURLMcode (*multiWakeup)(CURLM*);
    CURLMsg* (*multiInfoRead)(CURLM*, int*);
    CURLU* (*url)();
    void (*urlCleanup)(CURLU*);
    CURLUcode (*urlGet)(CURLU*, CURLUPart, char**, unsigned int);
    CURLUcode (*urlSet)(CURLU*, CURLUPart, const char*, unsigned int);
    curl_slist* (*slistAppend)(curl_slist*, const char*);
};

template <typename Function>
bool bind(void* handle, const char* name, Function& function) {
    function = reinterpret_cast<Function>(::dlsym(handle, name));
    return function != nullptr;
}

const Library& library() {
    static Library lib{};
    static std::once_flag once;
    std::call_once(once, [] {
        void* handle = ::dlopen(kLibraryName, RTLD_NOW | RTLD_LOCAL);
        if (!handle) {
            return;
        }
        // Kept open for the life of the process, as a linked library would be.
        lib.loaded =
            bind(handle, "curl_global_init", lib.globalInit) &&
            bind(handle, "curl_easy_init", lib.easyInit) &&
            bind(handle, "curl_easy_cleanup", lib.easyCleanup) &&
            bind(handle, "curl_easy_perform", lib.easyPerform) &&
            bind(handle, "curl_easy_setopt", lib.easySetopt) &&
            bind(handle, "curl_easy_getinfo", lib.easyGetinfo) &&
            bind(handle, "curl_easy_strerror", lib.easyStrerror) &&
            bind(handle, "curl_free", lib.free) && bind(handle, "curl_multi_init", lib.multiInit) &&
            bind(handle, "curl_multi_cleanup", lib.multiCleanup) &&
            bind(handle, "curl_multi_setopt", lib.multiSetopt) &&
            bind(handle, "curl_multi_add_handle", lib.multiAddHandle) &&
            bind(handle, "curl_multi_remove_handle", lib.multiRemoveHandle) &&
            bind(handle, "curl_multi_perform", lib.multiPerform) &&
            bind(handle, "curl_multi_poll", lib.multiPoll) &&
            bind(handle, "curl_multi_wakeup", lib.multiWakeup) &&
            bind(handle, "curl_multi_info_read", lib.multiInfoRead) &&
            bind(handle, "curl_url", lib.url) && bind(handle, "curl_url_cleanup", lib.urlCleanup) &&
            bind(handle, "curl_url_get", lib.urlGet) && bind(handle, "curl_url_set", lib.urlSet) &&
            bind(handle, "curl_slist_append", lib.slistAppend);
    });
    return lib;
}

// The one value an option takes, read by the option's type as libcurl itself reads it: the
// option number's ten-thousands tell long, pointer, function pointer or 64-bit offset.
template <typename Handle, typename Option, typename Code>
Code setOption(Code (*set)(Handle*, Option, ...), Handle* handle, Option option, va_list args) {
    const long kind = static_cast<long>(option) / 10000 * 10000;
    switch (kind) {
        case CURLOPTTYPE_LONG:
            return set(handle, option, va_arg(args, long));
        case CURLOPTTYPE_FUNCTIONPOINT:
            return set(handle, option, va_arg(args, void (*)()));
        case CURLOPTTYPE_OFF_T:
            return set(handle, option, va_arg(args, curl_off_t));
        default:  // object, string, list and callback-data pointers, blobs
            return set(handle, option, va_arg(args, void*));
    }
}

}  // namespace

extern "C" {

CURLcode curl_global_init(long flags) {
    const Library& lib = library();
    return lib.loaded ? lib.globalInit(flags) : CURLE_FAILED_INIT;
}

CURL* curl_easy_init() {
    const Library& lib = library();
    return lib.loaded ? lib.easyInit() : nullptr;
}

void curl_easy_cleanup(CURL* handle) {
    const Library& lib = library();
    if (lib.loaded) {
        lib.easyCleanup(handle);
    }
}

CURLcode curl_easy_perform(CURL* handle) {
    const Library& lib = library();
    return lib.loaded ? lib.easyPerform(handle) : CURLE_FAILED_INIT;
}

// libcurl declares its variadic entry points with an enum as the last named parameter, and
// reads them the same way itself. clang warns that an enum is promoted when passed; these
// enums are int-sized, passed exactly as an int, so va_start finds the variadic part where
// the caller put it.
static_assert(sizeof(CURLoption) == sizeof(int) && sizeof(CURLINFO) == sizeof(int) &&
              sizeof(CURLMoption) == sizeof(int));
#if defined(__clang__)
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wvarargs"
#endif

CURLcode curl_easy_setopt(CURL* handle, CURLoption option, ...) {
    const Library& lib = library();
    if (!lib.loaded) {
        return CURLE_FAILED_INIT;
    }
    va_list args;
    va_start(args, option);
    const CURLcode code = setOption(lib.easySetopt, handle, option, args);
    va_end(args);
    return code;
}

CURLcode curl_easy_getinfo(CURL* handle, CURLINFO info, ...) {
    const Library& lib = library();
    if (!lib.loaded) {
        return CURLE_FAILED_INIT;
    }
    va_list args;
    va_start(args, info);
    void* out = va_arg(args, void*);  // every kind of information is written through a pointer
    va_end(args);
    return lib.easyGetinfo(handle, info, out);
}

const char* curl_easy_strerror(CURLcode code) {
    const Library& lib = library();
    return lib.loaded ? lib.easyStrerror(code)
                      : "the network library (libcurl) could not be loaded";
}

void curl_free(void* pointer) {
    const Library& lib = library();
    if (lib.loaded) {
        lib.free(pointer);
    }
}

CURLM* curl_multi_init() {
    const Library& lib = library();
    return lib.loaded ? lib.multiInit() : nullptr;
}

CURLMcode curl_multi_cleanup(CURLM* multi) {
    const Library& lib = library();
    return lib.loaded ? lib.multiCleanup(multi) : CURLM_BAD_HANDLE;
}

CURLMcode curl_multi_setopt(CURLM* multi, CURLMoption option, ...) {
    const Library& lib = library();
    if (!lib.loaded) {
        return CURLM_BAD_HANDLE;
    }
    va_list args;
    va_start(args, option);
    const CURLMcode code = setOption(lib.multiSetopt, multi, option, args);
    va_end(args);
    return code;
}

#if defined(__clang__)
#pragma clang diagnostic pop
#endif

CURLMcode curl_multi_add_handle(CURLM* multi, CURL* handle) {
    const Library& lib = library();
    return lib.loaded ? lib.multiAddHandle(multi, handle) : CURLM_BAD_HANDLE;
}

CURLMcode curl_multi_remove_handle(CURLM* multi, CURL* handle) {
    const Library& lib = library();
    return lib.loaded ? lib.multiRemoveHandle(multi, handle) : CURLM_BAD_HANDLE;
}

CURLMcode curl_multi_perform(CURLM* multi, int* running) {
    const Library& lib = library();
    return lib.loaded ? lib.multiPerform(multi, running) : CURLM_BAD_HANDLE;
}

CURLMcode curl_multi_poll(CURLM* multi, curl_waitfd extra[], unsigned int count, int timeoutMs,
                          int* ready) {
    const Library& lib = library();
    return lib.loaded ? lib.multiPoll(multi, extra, count, timeoutMs, ready) : CURLM_BAD_HANDLE;
}

CURLMcode curl_multi_wakeup(CURLM* multi) {
    const Library& lib = library();
    return lib.loaded ? lib.multiWakeup(multi) : CURLM_BAD_HANDLE;
}

CURLMsg* curl_multi_info_read(CURLM* multi, int* left) {
    const Library& lib = library();
    return lib.loaded ? lib.multiInfoRead(multi, left) : nullptr;
}

CURLU* curl_url() {
    const Library& lib = library();
    return lib.loaded ? lib.url() : nullptr;
}

void curl_url_cleanup(CURLU* handle) {
    const Library& lib = library();
    if (lib.loaded) {
        lib.urlCleanup(handle);
    }
}

CURLUcode curl_url_get(CURLU* handle, CURLUPart what, char** part, unsigned int flags) {
    const Library& lib = library();
    return lib.loaded ? lib.urlGet(handle, what, part, flags) : CURLUE_BAD_HANDLE;
}

CURLUcode curl_url_set(CURLU* handle, CURLUPart what, const char* part, unsigned int flags) {
    const Library& lib = library();
    return lib.loaded ? lib.urlSet(handle, what, part, flags) : CURLUE_BAD_HANDLE;
}

curl_slist* curl_slist_append(curl_slist* list, const char* text) {
    const Library& lib = library();
    return lib.loaded ? lib.slistAppend(list, text) : nullptr;
}

}  // extern "C"
