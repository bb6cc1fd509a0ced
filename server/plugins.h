// Authentication plugins: shared libraries installed under "plugins/<name>/" that a Manager
// service loads at start, and the operations of the plugin command that install, remove and
// list them.
//
// The contract with a plugin is this header's first half. A plugin exports
//     extern "C" int plugin_init(plugin_rec *self, const char *conf_path);
// which returns 0 on success; conf_path is "plugins/<name>/cfg-..." relative to the
// environment directory, or NULL when the plugin has no configuration file. From it the
// plugin may register one password check by calling plugin_register_auth(self, fn), the only
// symbol the executable exports to the dynamic loader.
#pragma once

#include <atomic>
#include <cstdint>

// The password check of a plugin: 0 accepts the user, anything else refuses. Called from
// several pool workers at once.
typedef int (*auth_fn)(const char *username, const char *password);

// What a plugin has registered.
constexpr uint32_t PLUGIN_AUTH = 1;

// One loaded plugin; made by the loader and kept for the life of the process.
struct plugin_rec {
    plugin_rec *next;
    ::auth_fn auth_fn; // NULL until the plugin registers
    uint32_t type;     // 0 until the plugin registers, then PLUGIN_AUTH
    char *name;        // the plugin's directory name, owned
};

// The plugin's entry point, looked up by name.
using plugin_init_fn = int (*)(plugin_rec *self, const char *conf_path);

extern "C" {
// Registers `fn` as the password check of the plugin `self` (plugin_register).
void plugin_register_auth(plugin_rec *self, auth_fn fn);
}

// The loaded plugins, first record first; NULL when none is loaded.
extern plugin_rec *plugin_list_head;
// The password check of the one plugin in the list that registered, NULL when none did.
// Set before the service accepts connections, only read afterwards.
extern std::atomic<auth_fn> auth_hook;

// Loading, in a service with the Manager role (the working directory is the environment).

// Logs the start, loads every plugin into plugin_list_head and logs the outcome. 0, or -1
// after a FATAL line when the plugins directory cannot be read.
int plugins_init();
// Loads each plugin directory below "plugins" and appends to *list every plugin whose
// plugin_init succeeded after it registered; the others are logged, unloaded and freed.
// 0, or -1 when "plugins" cannot be read.
int plugins_discover(plugin_rec **list);
// Marks `self` as registered with `fn`. A NULL argument, or a list that holds a registered
// plugin already, is logged and changes nothing. The check becomes auth_hook only when the
// loader keeps the plugin.
void plugin_register(plugin_rec *self, auth_fn fn);

// The plugin command's operations on the environment directory `env`. Each prints its own
// red line on failure.

// Installs the library `lib` (an absolute path) and the optional configuration file `conf`
// as the plugin `name` (up to 64 letters and digits). 0 or -1; a failure leaves no new
// plugin directory behind.
int plugin_add(const char *env, const char *lib, const char *name, const char *conf);
// Asks on standard error whether to remove the plugin `name`; any answer but 'y' ends the
// process with status 0. 0 once the plugin is gone, -1 otherwise.
int plugin_delete(const char *env, const char *name);
// Prints a green line per entry of the plugins directory, in directory order. 0, or -1 after
// a red line when the directory cannot be read.
int plugin_list(const char *env);
