#include "lib/files.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <ftw.h>
#include <memory>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "lib/log.h"

// Sets `out` to "dir/name". False, with errno ENAMETOOLONG, when it is longer than
// SYS_PATH_MAX: the path may then be printed but not acted on.
static bool join_path(std::string &out, const char *dir, const char *name) {
    out.assign(dir).append("/").append(name);
    if (out.size() > SYS_PATH_MAX) {
        errno = ENAMETOOLONG;
        return false;
    }
    return true;
}

struct dirent *sys_next_visible(DIR *dir) {
    for (;;) {
        errno = 0;
        struct dirent *de = readdir(dir);
        if (de == nullptr || de->d_name[0] != '.')
            return de;
    }
}

static int make_dir(const char *path) {
    if (mkdir(path, 0700) == 0 || errno == EEXIST)
        return 0;
    return errno;
}

int sys_mkdirs(const char *path) {
    size_t len = strlen(path);
    if (len > SYS_PATH_MAX) {
        LOG_ERROR("%s: %s.", path, strerror(ENAMETOOLONG));
        return ENAMETOOLONG;
    }
    struct stat st;
    if (stat(path, &st) == 0)
        return 0;
    if (errno != ENOENT)
        return errno;
    // Each prefix ending before a "/" is made in turn; starting at the second character
    // keeps a leading "/" from producing an empty name.
    std::string prefix(path);
    for (size_t i = 1; i < len; i++) {
        if (prefix[i] != '/')
            continue;
        prefix[i] = '\0';
        int rc = make_dir(prefix.c_str());
        prefix[i] = '/';
        if (rc != 0)
            return rc;
    }
    return make_dir(path);
}

int sys_rmtree(const char *path) {
    return sys_rmtree_ex(path, 1);
}

// Removes one entry of `dir`: a directory with its contents, anything else by unlinking it.
static void rmtree_entry(const char *dir, const char *name) {
    std::string path;
    struct stat st;
    if (!join_path(path, dir, name) || lstat(path.c_str(), &st) != 0) {
        // An entry that vanished meanwhile needs no removal and no message.
        if (errno != ENOENT)
            LOG_ERROR("%s: %s. Remove it manually.", path.c_str(), strerror(errno));
        return;
    }
    if (S_ISDIR(st.st_mode)) {
        sys_rmtree_ex(path.c_str(), 1);
        return;
    }
    if (unlink(path.c_str()) != 0)
        LOG_ERROR("%s: %s. Remove the file manually.", path.c_str(), strerror(errno));
}

int sys_rmtree_ex(const char *path, int remove_top) {
    dir_ptr dir(opendir(path));
    if (dir == nullptr) {
        LOG_ERROR("%s: %s.", path, strerror(errno));
        return -1;
    }
    while (struct dirent *de = sys_next_visible(dir.get()))
        rmtree_entry(path, de->d_name);
    if (errno != 0)
        LOG_ERROR("%s: %s. Remove it manually.", path, strerror(errno));
    if (closedir(dir.release()) != 0)
        LOG_ERROR("%s: %s.", path, strerror(errno));
    if (remove_top && rmdir(path) != 0)
        LOG_ERROR("%s: %s.", path, strerror(errno));
    return 0;
}

std::string sys_make_scratch_dir(const char *prefix) {
    const char *base = getenv("TMPDIR");
    std::string path =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/" + prefix + "-XXXXXX";
    if (mkdtemp(path.data()) == nullptr)
        path.clear();
    return path;
}

void sys_remove_scratch_dir(const char *path) {
    auto remove_entry = [](const char *entry, const struct stat *, int, struct FTW *) {
        remove(entry);
        return 0;
    };
    nftw(path, remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

void sys_foreach_file(const char *path, void *ctx, sys_file_cb cb) {
    dir_ptr dir(opendir(path));
    if (!dir) {
        LOG_SYSERR_PATH("opendir", path);
        return;
    }
    std::string full;
    while (struct dirent *de = sys_next_visible(dir.get())) {
        struct stat st;
        if (!join_path(full, path, de->d_name) || lstat(full.c_str(), &st) != 0) {
            LOG_SYSERR_PATH("stat", full.c_str());
            continue;
        }
        if (S_ISDIR(st.st_mode))
            sys_foreach_file(full.c_str(), ctx, cb);
        else if (S_ISREG(st.st_mode))
            cb(ctx, de->d_name, full.c_str(), static_cast<uint64_t>(st.st_size));
    }
}

int sys_write_trylock(int fd) {
    for (;;) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0)
            return 0;
        if (errno == EINTR)
            continue;
        if (errno == EWOULDBLOCK)
            return 1;
        LOG_SYSERR("flock");
        return -1;
    }
}

int sys_volume_space_ex(const char *path, uint64_t *free_bytes, uint64_t *used_bytes, int as_root) {
    struct statvfs vs;
    if (statvfs(path, &vs) != 0) {
        *free_bytes = 0;
        *used_bytes = 0;
        LOG_ERROR("Cannot stat %s volume: %s", path, strerror(errno));
        return -1;
    }
    uint64_t blocks_free = as_root ? vs.f_bfree : vs.f_bavail;
    *free_bytes = static_cast<uint64_t>(vs.f_frsize) * blocks_free;
    *used_bytes = static_cast<uint64_t>(vs.f_frsize) * vs.f_blocks - *free_bytes;
    return 0;
}

int sys_volume_space(const char *path, uint64_t *free_bytes, uint64_t *used_bytes) {
    return sys_volume_space_ex(path, free_bytes, used_bytes, geteuid() == 0);
}
