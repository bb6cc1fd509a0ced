#include "server/config.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <string>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "lib/fd.h"
#include "lib/io.h"
#include "lib/json.h"
#include "lib/netaddr.h"
#include "server/runtime.h"

struct config config;

namespace {

// What the record's pointers designate in the modes that use them.
sockaddr_storage config_manager;
sockaddr_storage config_redirect;
archive_cfg config_archive;

constexpr const char *REDIRECT_PLACEHOLDER = "REDIRECT_IP";

// One address object of the file as read: "host" and "port".
struct config_address_text {
    char host[128];
    uint16_t port;
};

// The "archive" object as read, with its "scheduled on" object.
struct config_archive_text {
    bool enable;
    char policy[128];
    uint16_t retention;
    uint32_t hour;
    uint16_t minute;
};

// The values of one file before the checks, and the reader's tables that point at them.
struct config_text {
    config_address_text server, manager, redirect;
    config_archive_text archive;
    json_attr server_attrs[3], manager_attrs[3], redirect_attrs[3];
    json_attr schedule_attrs[3], archive_attrs[5];
    json_attr top[5];
};

void config_address_table(json_attr *t, config_address_text *a) {
    t[0] = {.name = "host", .type = JT_STRING, .target = {.ptr = a->host}, .len = sizeof a->host};
    t[1] = {.name = "port", .type = JT_USHORT, .target = {.ptr = &a->port}};
    t[2] = {};
}

void config_archive_table(config_text *t) {
    config_archive_text *a = &t->archive;
    t->schedule_attrs[0] = {.name = "hour", .type = JT_UINTEGER, .target = {.ptr = &a->hour}};
    t->schedule_attrs[1] = {.name = "minute", .type = JT_USHORT, .target = {.ptr = &a->minute}};
    t->schedule_attrs[2] = {};
    t->archive_attrs[0] = {.name = "enable", .type = JT_BOOLEAN, .target = {.ptr = &a->enable}};
    t->archive_attrs[1] = {
        .name = "policy", .type = JT_STRING, .target = {.ptr = a->policy}, .len = sizeof a->policy};
    t->archive_attrs[2] = {
        .name = "retention", .type = JT_USHORT, .target = {.ptr = &a->retention}};
    t->archive_attrs[3] = {
        .name = "scheduled on", .type = JT_OBJECT, .target = {.attrs = t->schedule_attrs}};
    t->archive_attrs[4] = {};
}

// The top-level table of a mode: Manager {server}, Standalone {server, archive}, Database
// {manager, server, redirect, archive}.
void config_text_init(config_text *t, uint32_t mode) {
    *t = {};
    config_address_table(t->server_attrs, &t->server);
    config_address_table(t->manager_attrs, &t->manager);
    config_address_table(t->redirect_attrs, &t->redirect);
    config_archive_table(t);
    size_t n = 0;
    if (mode == MODE_DATABASE)
        t->top[n++] = {.name = "manager", .type = JT_OBJECT, .target = {.attrs = t->manager_attrs}};
    t->top[n++] = {.name = "server", .type = JT_OBJECT, .target = {.attrs = t->server_attrs}};
    if (mode == MODE_DATABASE)
        t->top[n++] = {
            .name = "redirect", .type = JT_OBJECT, .target = {.attrs = t->redirect_attrs}};
    if (mode & MODE_DATABASE)
        t->top[n++] = {.name = "archive", .type = JT_OBJECT, .target = {.attrs = t->archive_attrs}};
    t->top[n] = {};
}

// A numeric host ("*" for 0.0.0.0) and a port into a socket address.
int config_address(const config_address_text *a, sockaddr_storage *sa) {
    if (sockaddr_from_host(a->host, sa) != 0) {
        printf("\033[91mInvalid server address: %s\033[0m\n", a->host);
        return -1;
    }
    if (sa->ss_family == AF_INET)
        reinterpret_cast<sockaddr_in *>(sa)->sin_port = htons(a->port);
    else
        reinterpret_cast<sockaddr_in6 *>(sa)->sin6_port = htons(a->port);
    return 0;
}

bool config_is_any_address(const sockaddr_storage *sa) {
    if (sa->ss_family == AF_INET)
        return reinterpret_cast<const sockaddr_in *>(sa)->sin_addr.s_addr == htonl(INADDR_ANY);
    return IN6_IS_ADDR_UNSPECIFIED(&reinterpret_cast<const sockaddr_in6 *>(sa)->sin6_addr);
}

// The address of a peer this server connects to or reports: an any-address, however it is
// spelled, names no peer and is refused with the object's own `refusal` line.
int config_peer(const config_address_text *a, sockaddr_storage *sa, const char *refusal) {
    if (strcmp(a->host, "*") == 0 || strcmp(a->host, "::") == 0) {
        fputs(refusal, stdout);
        return -1;
    }
    if (config_address(a, sa) != 0)
        return -1;
    if (config_is_any_address(sa)) {
        fputs(refusal, stdout);
        return -1;
    }
    return 0;
}

int config_archive_rule(const config_archive_text *a, archive_cfg *cfg) {
    if (strcasecmp(a->policy, "purge") == 0) {
        cfg->policy = ARCHIVE_POLICY_PURGE;
    } else if (strcasecmp(a->policy, "archive") == 0) {
        cfg->policy = ARCHIVE_POLICY_ARCHIVE;
    } else {
        printf("\033[91mInvalid policy value: %s\033[0m\n", a->policy);
        return -1;
    }
    cfg->enable = a->enable;
    if (a->hour > 23) {
        printf("\033[91mIncorrect hour value: %u\033[0m\n", a->hour);
        return -1;
    }
    if (a->minute > 59) {
        printf("\033[91mIncorrect minute value: %u\033[0m\n", a->minute);
        return -1;
    }
    cfg->schedule = {};
    cfg->schedule.tm_hour = static_cast<int>(a->hour);
    cfg->schedule.tm_min = a->minute;
    cfg->retention = a->retention;
    return 0;
}

// Parses and checks the file text for a supported mode, starting from an empty record.
int config_load_text(const char *text, uint32_t mode) {
    config = {};
    config_manager = {};
    config_redirect = {};
    config_archive = {};
    if (mode & MODE_DATABASE)
        config.archive = &config_archive;
    if (mode == MODE_DATABASE) {
        config.manager = &config_manager;
        config.redirect = &config_redirect;
    }
    config_text t;
    config_text_init(&t, mode);
    int rc = json_parse_object(text, t.top, nullptr);
    if (rc != 0) {
        printf("\033[91mConfiguration parse error: %s\n\033[0m\n", json_error_text(rc));
        return -1;
    }
    if (config_address(&t.server, &config.server) != 0)
        return -1;
    if (mode == MODE_DATABASE) {
        if (config_peer(&t.redirect, config.redirect,
                        "\033[91mIncorrect redirect host. Must be a specific IP "
                        "address.\033[0m\n") != 0)
            return -1;
        if (config_peer(&t.manager, config.manager,
                        "\033[91mIncorrect manager host address. Must be a specific IP "
                        "address.\033[0m\n") != 0)
            return -1;
    }
    if (mode & MODE_DATABASE)
        return config_archive_rule(&t.archive, config.archive);
    return 0;
}

// Opens `path` for reading and gives its size. 0, or -1 with errno set.
int config_open(const char *path, fd_owner *f, off_t *size) {
    f->reset(open(path, O_RDONLY | O_CLOEXEC));
    struct stat st;
    if (!f->valid() || fstat(f->get(), &st) != 0)
        return -1;
    *size = st.st_size;
    return 0;
}

// Reads up to `size` bytes (one read may return fewer) into a new buffer ended by a zero
// byte. 0, or -1 with errno set.
int config_read(const fd_owner *f, off_t size, std::vector<char> *text) {
    text->assign(static_cast<size_t>(size) + 1, '\0');
    return io_read_full(f->get(), text->data(), static_cast<size_t>(size)) < 0 ? -1 : 0;
}

int config_read_file(const char *path, std::vector<char> *text) {
    fd_owner f;
    off_t size = 0;
    if (config_open(path, &f, &size) != 0) {
        printf("\033[91mError: (%s) %s.\033[0m\n", path, strerror(errno));
        return -1;
    }
    if (size == 0) {
        printf("\033[91mError: (%s) Empty file\033[0m\n", path);
        return -1;
    }
    if (size > CONFIG_MAX_SIZE) {
        printf("\033[91mInvalid configuration file (%s)!\033[0m\n", path);
        return -1;
    }
    if (config_read(&f, size, text) != 0) {
        printf("\033[91mError: (%s) %s.\033[0m\n", path, strerror(errno));
        return -1;
    }
    return 0;
}

int config_host_ips(void *, char ***list) {
    return net_getall_ip(list, AF_INET);
}

// The first listed IPv4 address other than 127.0.0.1, as a new string; empty when none.
std::string config_redirect_ip(const config_sources *src) {
    char **list = nullptr;
    std::string ip;
    if (src->list_ip(src->ctx, &list) == 0) {
        for (char **p = list; *p != nullptr && ip.empty(); p++) {
            if (strcmp(*p, "127.0.0.1") != 0)
                ip = *p;
        }
    }
    net_free_ip_list(list);
    return ip;
}

// Writes `content` to a new or truncated `path`; a file that could not be written whole is
// removed, so no half configuration stays behind.
int config_write_file(const char *path, const std::string &content) {
    fd_owner f(open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0640));
    if (!f.valid()) {
        fprintf(stderr, "%s: %s.\n", path, strerror(errno));
        return -1;
    }
    if (io_write_all(f.get(), content.data(), content.size()) != 0 || f.close() != 0) {
        fprintf(stderr, "%s: %s.\n", path, strerror(errno));
        f.reset();
        unlink(path);
        return -1;
    }
    return 0;
}

// The Database template with its placeholder replaced by an address of this host.
int config_create_database(const char *path, const config_sources *src) {
    std::string tmpl = std::string(src->template_dir) + "/database.json";
    fd_owner f;
    off_t size = 0;
    std::vector<char> text;
    if (config_open(tmpl.c_str(), &f, &size) != 0 || config_read(&f, size, &text) != 0) {
        printf("\033[91mError: %s\033[0m\n", strerror(errno));
        return -1;
    }
    const char *at = strstr(text.data(), REDIRECT_PLACEHOLDER);
    if (at == nullptr) {
        printf("\033[91mCorrupted configuration template!\033[0m\n");
        return -1;
    }
    std::string ip = config_redirect_ip(src);
    if (ip.empty()) {
        printf("\033[91mNo valid IP addresses found.\033[0m\n");
        return -1;
    }
    std::string content(text.data(), static_cast<size_t>(at - text.data()));
    content += ip;
    content += at + strlen(REDIRECT_PLACEHOLDER);
    content += '\n';
    return config_write_file(path, content);
}

} // namespace

int config_load(const char *path, uint32_t mode) {
    std::vector<char> text;
    if (config_read_file(path, &text) != 0)
        return -1;
    if (mode != MODE_MANAGER && mode != MODE_DATABASE && mode != MODE_STANDALONE) {
        printf("\033[91mUnsupported mode: %X\033[0m\n", mode);
        return -1;
    }
    return config_load_text(text.data(), mode);
}

int config_load_database(const char *text) {
    return config_load_text(text, MODE_DATABASE);
}

int config_create_with(const char *path, uint32_t mode, const config_sources *src) {
    switch (mode) {
    case MODE_DATABASE:
        return config_create_database(path, src);
    case MODE_STANDALONE:
    case MODE_MANAGER: {
        const char *name = mode == MODE_MANAGER ? "/manager.json" : "/standalone.json";
        return fd_copy((std::string(src->template_dir) + name).c_str(), path);
    }
    default:
        printf("\033[91mUnsupported mode: %X\033[0m\n", mode);
        return -1;
    }
}

int config_create(const char *path, uint32_t mode) {
    const config_sources installed = {KRV_TEMPLATE_DIR, config_host_ips, nullptr};
    return config_create_with(path, mode, &installed);
}
