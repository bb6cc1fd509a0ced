#include "database/store/agents.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <iterator>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "lib/files.h"
#include "lib/format.h"
#include "lib/io.h"
#include "lib/log.h"
#include "lib/murmur3.h"

namespace {

constexpr const char *AGENTS_DIR = "storage.db/data";

// "storage.db/data/<id as 16 hex digits><suffix>"; every suffix used here fits.
struct agent_path {
    char text[96];
    agent_path(uint64_t aid, const char *suffix) {
        snprintf(text, sizeof text, "%s/%016lX%s", AGENTS_DIR, aid, suffix);
    }
};

// The agent directory first, then its data directories, parents before children.
constexpr const char *AGENT_DIRS[] = {"", "/mc", "/kv", "/kv/stages"};

} // namespace

uint64_t agent_id_of(const uint8_t identity[64]) {
    return murmur3_hash64(identity, 64);
}

// Makes the agent's directories, accepting those that exist. 0 or the errno value of the
// failed mkdir; *made gets a bit per directory of AGENT_DIRS this call created.
static int make_agent_dirs(uint64_t aid, unsigned *made) {
    *made = 0;
    for (unsigned i = 0; i < std::size(AGENT_DIRS); i++) {
        agent_path p(aid, AGENT_DIRS[i]);
        if (mkdir(p.text, 0700) == 0) {
            *made |= 1u << i;
            continue;
        }
        int e = errno;
        if (e == EEXIST)
            continue;
        LOG_DEBUG("Cannot create directory [%s].", p.text);
        errno = e;
        LOG_SYSERR_PATH("mkdir", p.text);
        return e;
    }
    return 0;
}

// Removes the directories make_agent_dirs created, children first: an agent that could not
// be registered leaves no directory without its identity file behind.
static void remove_agent_dirs(uint64_t aid, unsigned made) {
    for (unsigned i = std::size(AGENT_DIRS); i-- > 0;) {
        agent_path p(aid, AGENT_DIRS[i]);
        if ((made & (1u << i)) && rmdir(p.text) != 0)
            LOG_SYSERR_PATH("rmdir", p.text);
    }
}

// True when the identity file holds at least the whole 64-byte record.
static bool identity_file_whole(uint64_t aid) {
    agent_path p(aid, "/korvane.id");
    struct stat st;
    return stat(p.text, &st) == 0 && S_ISREG(st.st_mode) && st.st_size >= 64;
}

// Forces a directory's entries to the disk. 0 or the errno value of the failed call.
static int sync_dir(const char *path) {
    fd_owner fd(open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.valid() || fsync(fd.get()) != 0) {
        int e = errno;
        LOG_SYSERR_PATH(fd.valid() ? "fsync" : "open", path);
        return e;
    }
    return 0;
}

// Writes the identity into a temporary file, forces it to the disk and renames it into
// place, so a reader never meets a partly written identity file. 0 or the errno value of
// the failed call.
static int write_identity(const uint8_t identity[64], uint64_t aid) {
    agent_path tmp(aid, "/korvane.id.tmp");
    agent_path final_path(aid, "/korvane.id");
    fd_owner fd(open(tmp.text, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (!fd.valid()) {
        int e = errno;
        LOG_DEBUG("Cannot open korvane.id file: %s.", tmp.text);
        errno = e;
        LOG_SYSERR_PATH("open", tmp.text);
        return e;
    }
    int e = 0;
    if (io_write_all(fd.get(), identity, 64) != 0) {
        e = errno;
        LOG_SYSERR_PATH("write", tmp.text);
    } else if (fsync(fd.get()) != 0) {
        e = errno;
        LOG_SYSERR_PATH("fsync", tmp.text);
    }
    if (fd.close() != 0 && e == 0) {
        e = errno;
        LOG_SYSERR_PATH("close", tmp.text);
    }
    if (e == 0 && rename(tmp.text, final_path.text) != 0) {
        e = errno;
        LOG_SYSERR_PATH("rename", final_path.text);
    }
    if (e != 0)
        unlink(tmp.text);
    return e;
}

int agent_save(const uint8_t identity[64], uint64_t aid) {
    unsigned made = 0;
    int rc = make_agent_dirs(aid, &made);
    const bool existed = (made & 1u) == 0;
    if (rc == 0 && existed && identity_file_whole(aid))
        return EEXIST;
    if (rc == 0)
        rc = write_identity(identity, aid);
    // The identity and the new directory entries reach the disk before the agent counts as
    // registered.
    agent_path dir(aid, "");
    if (rc == 0)
        rc = sync_dir(dir.text);
    if (rc == 0 && !existed)
        rc = sync_dir(AGENTS_DIR);
    if (rc != 0) {
        if (!existed) {
            agent_path id(aid, "/korvane.id");
            unlink(id.text);
        }
        remove_agent_dirs(aid, made);
        return rc;
    }
    return existed ? EEXIST : 0;
}

int read_agent_id(uint8_t buf[64], uint64_t aid) {
    memset(buf, 0, 64);
    agent_path p(aid, "/korvane.id");
    fd_owner fd(open(p.text, O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) {
        LOG_SYSERR_PATH("open", p.text);
        return -1;
    }
    if (io_read_full(fd.get(), buf, 64) < 0) {
        LOG_SYSERR_PATH("read", p.text);
        return -1;
    }
    return 0;
}

int dbs_agent_exists(uint64_t aid) {
    agent_path p(aid, "/korvane.id");
    struct stat st;
    if (stat(p.text, &st) == 0)
        return 1;
    if (errno != ENOENT)
        LOG_SYSERR_PATH("stat", p.text);
    return 0;
}

int dbs_agent_dir_exists(uint64_t aid) {
    agent_path p(aid, "");
    struct stat st;
    if (lstat(p.text, &st) == 0)
        return 1;
    if (errno == ENOENT)
        return 0;
    LOG_SYSERR_PATH("lstat", p.text);
    return -1;
}

int dbs_foreach_agent(void *ctx, dbs_agent_cb cb) {
    dir_ptr dir(opendir(AGENTS_DIR));
    if (!dir) {
        LOG_ERROR("Cannot open the directory %s: %s", AGENTS_DIR, strerror(errno));
        return -1;
    }
    while (struct dirent *de = sys_next_visible(dir.get())) {
        agent_entry entry{};
        if (!parse_agent_id(de->d_name, &entry.id)) {
            LOG_WARN("Invalid agent directory: %s", de->d_name);
            continue;
        }
        uint8_t identity[64];
        if (read_agent_id(identity, entry.id) != 0)
            continue;
        memcpy(&entry.identity, identity, sizeof identity);
        cb(ctx, &entry);
    }
    return 0;
}

int delete_agent_path_entry(void *ctx, const char *name, const char *path, uint64_t size) {
    (void)ctx;
    (void)name;
    (void)size;
    if (unlink(path) != 0)
        LOG_SYSERR_PATH("unlink", path);
    return 0;
}

int dbs_remove_agent(const uint8_t identity[64]) {
    uint64_t aid = agent_id_of(identity);
    uint8_t stored[64];
    if (read_agent_id(stored, aid) != 0)
        return -1;
    agent_identity given, have;
    memcpy(&given, identity, sizeof given);
    memcpy(&have, stored, sizeof have);
    if (have.type != given.type) {
        LOG_ERROR("Cannot remove the agent: type mismatch.");
        return -1;
    }
    // Labels are compared as strings over their first 62 characters.
    if (strncmp(have.label, given.label, 62) != 0) {
        LOG_ERROR("Cannot remove the agent: name mismatch.");
        return -1;
    }
    agent_path dir(aid, "");
    sys_foreach_file(dir.text, nullptr, delete_agent_path_entry);
    return sys_rmtree(dir.text);
}
