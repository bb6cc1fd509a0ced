// A test authentication plugin, built once per variant (KRV_PLUGIN_<VARIANT> defined):
//   ACCEPT     registers a check that accepts the password "letmein" for any user name
//   SECOND     the same with the password "second": a second plugin that registers
//   INITFAIL   registers the ACCEPT check, then fails its init
//   SILENT     succeeds without registering
//   NOINIT     has no plugin_init
//   UNDEFINED  needs a symbol nobody defines, so the loader refuses it
// Each plugin_init writes one line naming its record and configuration path on standard
// error, which a service has on its log file.
#include <cstdio>
#include <cstring>

#include "server/plugins.h"

namespace {

#if defined(KRV_PLUGIN_SECOND)
constexpr const char PASSWORD[] = "second";
#else
constexpr const char PASSWORD[] = "letmein";
#endif

[[maybe_unused]] int check_password(const char *username, const char *password) {
    (void)username;
    return strcmp(password, PASSWORD) == 0 ? 0 : 1;
}

} // namespace

#if defined(KRV_PLUGIN_UNDEFINED)
extern "C" int krv_plugin_missing();
#endif

#if defined(KRV_PLUGIN_NOINIT)
extern "C" int plugin_start(plugin_rec *self) {
    plugin_register_auth(self, check_password);
    return 0;
}
#else
extern "C" int plugin_init(plugin_rec *self, const char *conf_path) {
    fprintf(stderr, "test plugin [%s] conf [%s]\n", self->name,
            conf_path != nullptr ? conf_path : "none");
#if defined(KRV_PLUGIN_UNDEFINED)
    return krv_plugin_missing();
#elif defined(KRV_PLUGIN_SILENT)
    return 0;
#else
    plugin_register_auth(self, check_password);
#if defined(KRV_PLUGIN_INITFAIL)
    return -1;
#else
    return 0;
#endif
#endif
}
#endif
