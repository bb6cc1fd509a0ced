// Writing archives of the data store: which files of the agent directories an archive takes,
// the writer that packs them (with the symbol files) into blocks, the scheduled archive run
// that then deletes what it archived, and the dump of chosen agents and days.
#pragma once

#include <cstdint>
#include <ctime>
#include <regex.h>
#include <string>
#include <vector>

#include "lib/agent_type.h"

// A data file must be this long unmodified before a run deletes it: root calls reach their
// hour file up to 16777215 ms late, and agent clocks may lag behind the server's.
constexpr time_t ARCHIVE_SETTLE_SECONDS = 5 * 3600;

constexpr uint64_t ARCHIVE_UNARCHIVED = UINT64_MAX;

// One file to archive.
struct archive_entry {
    std::string path;
    uint64_t size;     // when it was listed
    uint64_t archived; // content bytes the archive holds: its size when opened for copying
    uint8_t purge;     // 1: deleted by the run once archived
};

// One run, dump or archive write.
struct archive_ctx {
    std::vector<archive_entry> entries;
    regex_t index_re; // names of calls indexes, which are never archived
    bool index_re_ready;
    uint64_t first_day; // inclusive UTC day numbers; 0 and UINT64_MAX leave a side open
    uint64_t last_day;
    uint8_t *buf;  // the staging buffer of the stream, ARCHIVE_BLOCK_MAX bytes
    uint64_t fill; // bytes of the stream in buf
    uint8_t *tmp;  // the compressor's output area, ARCHIVE_LZ4_BOUND bytes
    int width;     // progress-bar width of a dump
    bool created;  // archive_file created its output file
};

// Prepares a context for the days of [from_s, thru_s] (seconds since the epoch, 0 for an
// open side). 0, or -1 when the name pattern cannot be compiled.
int archive_ctx_init(archive_ctx *ctx, uint64_t from_s, uint64_t thru_s);
void archive_ctx_free(archive_ctx *ctx);

// Per-file filter of an agent directory walk: lists the identity file (kept), and the
// root-call, extension and key/value day files within the day range (to be deleted).
// Calls indexes are passed over; any other name is warned about. The result is ignored.
int on_data_file(void *ctx, const char *name, const char *path, uint64_t size);
// Lists the files of every agent directory, or of one agent's. 0, or -1 when the agent
// directories cannot be walked.
int archive_collect_all(archive_ctx *ctx);
int archive_collect_agent_id(uint64_t aid, archive_ctx *ctx);
// Per-file callback over "storage.db/symbols": lists a symbol file, kept.
int archive_add_symbols_file(void *ctx, const char *name, const char *path, uint64_t size);

// Called after each archived file with the number of files done.
using archive_progress_fn = void (*)(archive_ctx *ctx, uint64_t done);

// Writes the listed entries, then the symbol files, into a new archive at `path`, which must
// not exist (an existing name or a link there is refused). progress may be NULL. 0 or -1;
// after -1, ctx->created tells whether a partial file was left at `path`.
int archive_file(archive_ctx *ctx, const char *path, archive_progress_fn progress);
// Writes the staged stream bytes as one block. 0 or -1.
int archive_buffer_store(archive_ctx *ctx, int fd);
// The dump's progress bar over the listed entries.
void archive_progress(archive_ctx *ctx, uint64_t done);

// Deletes the listed entries flagged for it that are as they were archived (purge-only:
// listed): the same size and unmodified for ARCHIVE_SETTLE_SECONDS before `now`. Others stay
// for a later run. Returns how many files were removed.
uint64_t archive_purge(archive_ctx *ctx, time_t now, int purge_only);

// The scheduled run, in the environment directory: archives the data files of the days up
// to the one (launch time - retention) falls in into "storage.db/arch/korvane.arch-<stamp>"
// (unless purge-only), logging to the archive's ".log", then deletes them. 0 or -1.
int dbs_archive(uint64_t launch_time_s, uint16_t retention_hours, int purge_only);

// Writes an archive of the listed agents (every agent when agents is NULL) restricted to the
// days of [from_s, thru_s] (0 for an open side), with a progress bar. Nothing is deleted.
// 0 or -1.
int dbs_dump(const char *archive_path, uint64_t from_s, uint64_t thru_s, const agent_entry *agents,
             uint64_t n);
