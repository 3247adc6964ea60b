/* Preloaded into the AddressSanitizer runs. Mesa's graphics drivers
 * (dri/ *_dri.so), which Qt's GLX integration loads under a real X server,
 * hold memory from their own static data; when they are unloaded before
 * the leak check, that memory looks lost and its allocation comes from an
 * "<unknown module>", which no rule can name. Kept mapped, they stay
 * nameable (lsan.supp names them) and what they still hold stays reachable.
 * Every other library is unloaded as usual. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <link.h>
#include <string.h>

int dlclose(void* handle) {
    static int (*next_dlclose)(void*);
    struct link_map* map = NULL;
    if (dlinfo(handle, RTLD_DI_LINKMAP, &map) == 0 && map && map->l_name && strstr(map->l_name, "_dri.so"))
        return 0;
    if (!next_dlclose) next_dlclose = (int (*)(void*))dlsym(RTLD_NEXT, "dlclose");
    return next_dlclose(handle);
}
