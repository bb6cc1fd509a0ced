// File-system helpers: directory trees, file walks, locks and volume space.
#pragma once

#include <cstdint>
#include <dirent.h>
#include <memory>
#include <string>

// Longest path, without its terminator, these helpers accept or build. A longer one is
// refused with ENAMETOOLONG rather than cut short.
constexpr unsigned long SYS_PATH_MAX = 4095;

// Closes a directory stream opened with opendir when its owner goes.
struct dir_closer {
    void operator()(DIR *d) const { closedir(d); }
};
using dir_ptr = std::unique_ptr<DIR, dir_closer>;

// The next entry of `dir` whose name does not begin with "." (so neither "." nor ".."); NULL
// at the end of the directory, with errno 0, or on a read error, with errno set.
struct dirent *sys_next_visible(DIR *dir);

// Creates `path` and its missing parents, each with mode 0700 (less the umask). 0 when done
// or when `path` already exists as anything; otherwise the errno value of the failure.
int sys_mkdirs(const char *path);

// sys_rmtree_ex(path, 1).
int sys_rmtree(const char *path);
// Removes everything below the directory `path` except entries whose name begins with "."
// (so a directory holding one stays), then, with `remove_top`, the directory itself.
// -1 when `path` cannot be opened as a directory, otherwise 0; failures are logged.
int sys_rmtree_ex(const char *path, int remove_top);

// Creates a new directory "<$TMPDIR, or /tmp>/<prefix>-XXXXXX" (mode 0700) for scratch work: its
// path, or an empty string on failure (errno set).
std::string sys_make_scratch_dir(const char *prefix);
// Removes `path` and everything below it, names beginning with "." included, never following a
// symbolic link; for a scratch directory, so failures are silent.
void sys_remove_scratch_dir(const char *path);

// Called for each regular file of a walk: its own name, "dir/name", and its size in bytes.
// The result is ignored.
using sys_file_cb = int (*)(void *ctx, const char *name, const char *path, uint64_t size);
// Calls `cb` for every regular file below `path`, depth-first in directory order. Names
// beginning with "." are skipped and symbolic links are never followed.
void sys_foreach_file(const char *path, void *ctx, sys_file_cb cb);

// Exclusive non-blocking lock of the whole file behind fd: 0 locked, 1 held through another
// open file description, -1 on any other error (logged).
int sys_write_trylock(int fd);

// Free and used bytes of the volume holding `path`, where free counts what this process may
// write. When the volume cannot be queried both are 0 and the result is -1.
int sys_volume_space(const char *path, uint64_t *free_bytes, uint64_t *used_bytes);
// The same for a caller that does (`as_root` non-zero) or does not run as the superuser:
// only the superuser may use the blocks the file system reserves for it.
int sys_volume_space_ex(const char *path, uint64_t *free_bytes, uint64_t *used_bytes, int as_root);
