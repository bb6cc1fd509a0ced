// The ROOT CALLS data query: the stored root calls of several agents, each over its own time
// range, that pass the request's filters, one 76-byte record each.
#pragma once

#include <cstdint>

struct be_cursor;
struct database_ctx;
struct msg;
struct pattern;

constexpr uint64_t DBQ_ROOT_CALLS = 8;

// Request flags; other bits are ignored.
enum : uint32_t {
    RC_F_ROOT_ENTRY = 0x01,     // return the roots' own extension entries
    RC_F_ALL_CALLS = 0x02,      // key/value patterns look at the entries of every call
    RC_F_EXCEPTIONS = 0x04,     // only root calls with exceptions; a u32 follows (unused)
    RC_F_CLASS_PATTERN = 0x08,  // a class-name pattern follows
    RC_F_METHOD_PATTERN = 0x10, // a method-name pattern follows
    RC_F_VALUE_PATTERN = 0x20,  // a value pattern follows
    RC_F_CLASS_ID = 0x40,       // a class symbol id follows
    RC_F_METHOD_ID = 0x80,      // a method symbol id follows
    RC_F_KEY_PATTERN = 0x200,   // a key pattern follows
};

// A record of the reply, before the entry data that follows it.
constexpr uint32_t RC_RECORD_SIZE = 76;

// Runs one ROOT CALLS request (the bytes after the request and query ids) and returns its
// type-8 reply: status 1 with the records, or 4 when the reply was cut at its size limit or
// the request reached the most hour files one request may scan. NULL when the request is
// refused or a file that exists could not be read (logged); the dispatcher answers it with
// status 2. Root calls are read through the files in the working directory; with `ctx`,
// name patterns are matched against its store's symbol maps and agents its registry does
// not hold are passed over (without, the symbol files are read).
msg *dbq_root_calls(database_ctx *ctx, uint64_t rid, uint64_t qid, const uint8_t *request,
                    uint32_t length);

// Compiles the `length` text bytes at the cursor (they end at a zero byte, if they hold one)
// as a pattern of `kind` and moves past them. NULL, with nothing moved, when fewer bytes
// remain; NULL after pattern_create's ERROR line when the text is refused.
pattern *dbq_pattern_text(be_cursor *c, uint32_t length, int kind);
