// The configuration file conf/config.json: loading and checking it for a run mode into the
// process-wide `config` record, and writing a new one from the mode's template.
#pragma once

#include <cstdint>
#include <ctime>
#include <sys/socket.h>

constexpr uint32_t ARCHIVE_POLICY_ARCHIVE = 0;
constexpr uint32_t ARCHIVE_POLICY_PURGE = 1;

// Largest configuration file accepted, in bytes.
constexpr long CONFIG_MAX_SIZE = 1048576;

struct archive_cfg {
    bool enable;        // archive on schedule
    uint32_t policy;    // ARCHIVE_POLICY_*
    uint16_t retention; // hours of data to keep
    struct tm schedule; // local time of day of the run: only tm_hour and tm_min are set
};

// Zero until config_load fills it in the master; read-only afterwards, inherited by children.
struct config {
    sockaddr_storage server;    // where the service listens; port in network order
    sockaddr_storage *manager;  // the Manager a Database-only server links to; else NULL
    sockaddr_storage *redirect; // address reported for this Database; else NULL
    archive_cfg *archive;       // with the Database role; else NULL
};

extern struct config config;

// Reads and checks the file at `path` for `mode` (MODE_*) and fills `config`. 0, or -1 after
// one red line on standard output.
int config_load(const char *path, uint32_t mode);

// The Database part of config_load, given the whole file text.
int config_load_database(const char *text);

// Where config_create finds what it needs: the template directory and the host's IPv4
// interface addresses (`list_ip` fills a list as net_getall_ip does; 0 or -1).
struct config_sources {
    const char *template_dir;
    int (*list_ip)(void *ctx, char ***list);
    void *ctx;
};

// Writes a new configuration file for `mode` at `path` from the installed template of the
// mode. 0, or -1 after its message.
int config_create(const char *path, uint32_t mode);

// The same with the templates and the interface addresses taken from `src`.
int config_create_with(const char *path, uint32_t mode, const config_sources *src);
