// Preloaded into flashwright-cli by its tests: a name server that never
// answers, for names under "hang.test" (the system's lookup of such a name
// comes back only after 30 s, with a temporary failure). Every other name is
// looked up as usual.
#include <dlfcn.h>
#include <netdb.h>
#include <unistd.h>

#include <string_view>

extern "C" int getaddrinfo(const char* node, const char* service, const addrinfo* hints,
                           addrinfo** result) {
    const std::string_view name = node != nullptr ? node : "";
    if (name.ends_with(".hang.test") || name.ends_with(".hang.test.")) {
        ::sleep(30);
        return EAI_AGAIN;
    }
    using Lookup = int (*)(const char*, const char*, const addrinfo*, addrinfo**);
    static const auto real = reinterpret_cast<Lookup>(::dlsym(RTLD_NEXT, "getaddrinfo"));
    return real(node, service, hints, result);
}
