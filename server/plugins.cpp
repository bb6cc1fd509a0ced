#include "server/plugins.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <dlfcn.h>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "lib/fd.h"
#include "lib/files.h"
#include "lib/log.h"
#include "lib/term.h"
#include "lib/xalloc.h"

plugin_rec *plugin_list_head = nullptr;
std::atomic<auth_fn> auth_hook{nullptr};

namespace {

constexpr const char PLUGINS_DIR[] = "plugins";
constexpr const char LIB_PREFIX[] = "plg-";
constexpr const char CONF_PREFIX[] = "cfg-";
constexpr size_t PLUGIN_NAME_MAX = 64;

bool has_prefix(const char *name, const char *prefix) {
    return strncmp(name, prefix, strlen(prefix)) == 0;
}

// The library and the configuration file of one plugin directory: the first entries, in
// directory order, whose names begin with "plg-" and "cfg-". Empty when there is none.
struct plugin_files {
    std::string lib;
    std::string conf;
};

plugin_files find_plugin_files(DIR *dir, const std::string &dir_path) {
    plugin_files f;
    while (struct dirent *de = sys_next_visible(dir)) {
        if (f.lib.empty() && has_prefix(de->d_name, LIB_PREFIX))
            f.lib = dir_path + "/" + de->d_name;
        else if (f.conf.empty() && has_prefix(de->d_name, CONF_PREFIX))
            f.conf = dir_path + "/" + de->d_name;
    }
    return f;
}

void plugin_free(plugin_rec *rec) {
    free(rec->name);
    free(rec);
}

void list_append(plugin_rec **list, plugin_rec *rec) {
    while (*list != nullptr)
        list = &(*list)->next;
    *list = rec;
}

// Runs the plugin's entry point and decides whether it stays loaded. Only a plugin that
// succeeded after registering is kept, and only then does its check become auth_hook: a
// check set by a plugin that is unloaded afterwards would point into unmapped code.
void plugin_start(plugin_rec **list, void *handle, plugin_init_fn init, const char *name,
                  const plugin_files &files) {
    auto *rec = static_cast<plugin_rec *>(krv_calloc(1, sizeof(plugin_rec)));
    rec->name = krv_strdup(name);
    if (init(rec, files.conf.empty() ? nullptr : files.conf.c_str()) != 0) {
        LOG_ERROR("Plugin [%s] init function failed.", name);
    } else if (rec->type == PLUGIN_AUTH && rec->auth_fn != nullptr) {
        LOG_INFO("Plugin [%s] initiated successfully.", name);
        list_append(list, rec);
        auth_hook.store(rec->auth_fn);
        return; // the library stays loaded for the life of the process
    } else {
        LOG_ERROR("Plugin [%s] not registered.", name);
    }
    dlclose(handle);
    plugin_free(rec);
}

// Loads the plugin directory "plugins/<name>"; every failure is logged and skips it.
void plugin_load(plugin_rec **list, const char *name) {
    const std::string path = std::string(PLUGINS_DIR) + "/" + name;
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        LOG_ERROR("Cannot read plugin file %s: %s", path.c_str(), strerror(errno));
        return;
    }
    if (!S_ISDIR(st.st_mode)) {
        LOG_ERROR("Incorrect entry found in the plugins directory: %s", name);
        return;
    }
    LOG_INFO("Plugin [%s] discovered.", name);
    dir_ptr dir(opendir(path.c_str()));
    if (!dir) {
        LOG_ERROR("Cannot read plugins: %s.", strerror(errno));
        return;
    }
    const plugin_files files = find_plugin_files(dir.get(), path);
    dir.reset();
    if (files.lib.empty()) {
        LOG_ERROR("Plugin %s is missing the library file!", name);
        return;
    }
    // The path holds a "/", so the loader opens exactly that file and searches nowhere.
    void *handle = dlopen(files.lib.c_str(), RTLD_NOW);
    if (handle == nullptr) {
        LOG_ERROR("Unable to open a plugin %s: %s", name, dlerror());
        return;
    }
    LOG_INFO("Plugin [%s] opened successfully.", name);
    dlerror();
    auto init = reinterpret_cast<plugin_init_fn>(dlsym(handle, "plugin_init"));
    if (init == nullptr) {
        const char *why = dlerror();
        LOG_ERROR("Unable to initialize plugin %s: %s", name, why ? why : "no plugin_init");
        dlclose(handle);
        return;
    }
    plugin_start(list, handle, init, name, files);
}

// The plugin name rule: 1 to 64 characters, letters and digits only, so a name always
// stays one entry inside the plugins directory. 0, or -1 after a red line.
int check_plugin_name(const char *name) {
    if (name[0] == '\0') {
        printf("\033[91mMissing --name option!\033[0m\n");
        return -1;
    }
    if (strlen(name) > PLUGIN_NAME_MAX) {
        printf("\033[91mPlugin name too long!\033[0m\n");
        return -1;
    }
    for (const char *p = name; *p != '\0'; p++) {
        const char c = *p;
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))) {
            printf("\033[91mInvalid char [%c] in the plugin name: %s\033[0m\n", c, name);
            return -1;
        }
    }
    return 0;
}

// The last component of a path.
const char *last_component(const char *path) {
    const char *slash = strrchr(path, '/');
    return slash != nullptr ? slash + 1 : path;
}

// Checks that `lib` is an absolute path to a regular file (a link is not one) that the
// loader accepts and that has an entry point. 0, or -1 after a red line.
int check_plugin_library(const char *lib) {
    if (lib[0] != '/') {
        printf("\033[91mLibrary must be specified with its absolute path.\033[0m\n");
        return -1;
    }
    struct stat st;
    if (lstat(lib, &st) != 0) {
        printf("\033[91mCannot open the plugin library \"%s\": %s\033[0m\n", lib, strerror(errno));
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        printf("\033[91mPlugin library must be a regular file.\033[0m\n");
        return -1;
    }
    return 0;
}

int validate_plugin_library(const char *lib) {
    void *handle = dlopen(lib, RTLD_NOW);
    if (handle == nullptr) {
        printf("\033[91mUnable to validate the plugin: %s\033[0m\n", dlerror());
        return -1;
    }
    dlerror();
    int rc = 0;
    if (dlsym(handle, "plugin_init") == nullptr) {
        const char *why = dlerror();
        printf("\033[91mNot a valid plugin library: %s\033[0m\n", why ? why : lib);
        rc = -1;
    }
    dlclose(handle);
    return rc;
}

// Copies `src` into the plugin directory as <prefix><last component of src>. 0, or -1
// after a red line (the reason is logged).
int copy_into(const std::string &dir, const char *prefix, const char *src) {
    const std::string dst = dir + "/" + prefix + last_component(src);
    if (fd_copy(src, dst.c_str()) != 0) {
        printf("\033[91mCannot copy \"%s\" into the plugin directory.\033[0m\n", src);
        return -1;
    }
    return 0;
}

// Removes the plugin entry at `path`. A directory goes with its contents; anything else (a
// link among them) is removed itself and never followed. 0 once nothing is left at `path`,
// -1 with errno telling why something is.
int remove_plugin_entry(const std::string &path, const struct stat &st) {
    if (!S_ISDIR(st.st_mode))
        return unlink(path.c_str());
    // The tree removal only logs what it cannot remove and keeps hidden entries; a last
    // removal of the directory tells whether it is gone, and why not.
    sys_rmtree(path.c_str());
    if (rmdir(path.c_str()) == 0 || errno == ENOENT)
        return 0;
    return -1;
}

} // namespace

void plugin_register(plugin_rec *self, auth_fn fn) {
    if (self == nullptr || fn == nullptr) {
        LOG_ERROR("Plugin register: invalid arguments.");
        return;
    }
    for (const plugin_rec *p = plugin_list_head; p != nullptr; p = p->next) {
        if (p->type == PLUGIN_AUTH) {
            LOG_ERROR("Plugin [%s] already registered.", self->name);
            return;
        }
    }
    self->type = PLUGIN_AUTH;
    self->auth_fn = fn;
    LOG_INFO("Plugin [%s] registered successfully.", self->name);
}

extern "C" void plugin_register_auth(plugin_rec *self, auth_fn fn) {
    plugin_register(self, fn);
}

int plugins_discover(plugin_rec **list) {
    LOG_INFO("Searching for plugins ...");
    dir_ptr dir(opendir(PLUGINS_DIR));
    if (!dir) {
        LOG_ERROR("Cannot read plugins: %s.", strerror(errno));
        return -1;
    }
    while (struct dirent *de = sys_next_visible(dir.get()))
        plugin_load(list, de->d_name);
    return 0;
}

int plugins_init() {
    LOG_INFO("Initializing plugins subsystem...");
    plugin_list_head = nullptr;
    if (plugins_discover(&plugin_list_head) != 0) {
        LOG_FATAL("Plugins discovery failed.");
        return -1;
    }
    if (plugin_list_head != nullptr)
        LOG_INFO("Plugins subsystem initialized.");
    else
        LOG_INFO("No plugins loaded.");
    return 0;
}

int plugin_add(const char *env, const char *lib, const char *name, const char *conf) {
    if (check_plugin_name(name) != 0 || check_plugin_library(lib) != 0)
        return -1;
    const std::string dir = std::string(env) + "/" + PLUGINS_DIR + "/" + name;
    struct stat st;
    if (lstat(dir.c_str(), &st) == 0) {
        printf("\033[91mPlugin %s already exists!\033[0m\n", name);
        return -1;
    }
    if (errno != ENOENT) {
        printf("\033[91mError: %s\033[0m\n", strerror(errno));
        return -1;
    }
    if (validate_plugin_library(lib) != 0)
        return -1;
    if (mkdir(dir.c_str(), 0700) != 0) {
        printf("\033[91mCannot create a plugin directory: %s\033[0m\n", strerror(errno));
        return -1;
    }
    if (copy_into(dir, LIB_PREFIX, lib) != 0 ||
        (conf != nullptr && copy_into(dir, CONF_PREFIX, conf) != 0)) {
        sys_rmtree(dir.c_str());
        return -1;
    }
    return 0;
}

int plugin_delete(const char *env, const char *name) {
    if (check_plugin_name(name) != 0)
        return -1;
    const std::string path = std::string(env) + "/" + PLUGINS_DIR + "/" + name;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) {
        if (errno == ENOENT)
            printf("\033[91mNo such plugin \"%s\"\033[0m\n", name);
        else
            printf("\033[91mError: %s\033[0m\n", strerror(errno));
        return -1;
    }
    fprintf(stderr, "\033[91m Do you want to delete plugin \"%s\"? [y/n] (n): \033[0m", name);
    if (term_read_key() != 'y')
        exit(0);
    if (remove_plugin_entry(path, st) != 0) {
        printf("\033[91mError: %s\033[0m\n", strerror(errno));
        return -1;
    }
    return 0;
}

int plugin_list(const char *env) {
    const std::string path = std::string(env) + "/" + PLUGINS_DIR;
    dir_ptr dir(opendir(path.c_str()));
    if (!dir) {
        const int e = errno;
        LOG_ERROR("Cannot access plugins repository: %s", strerror(e));
        printf("\033[91mError: %s\033[0m\n", strerror(e));
        return -1;
    }
    while (struct dirent *de = sys_next_visible(dir.get()))
        printf("\033[92mPlugin: %s\033[0m\n", de->d_name);
    if (errno != 0) {
        printf("\033[91mError: %s\033[0m\n", strerror(errno));
        return -1;
    }
    return 0;
}
