// The ROOT CALL EXECUTION STACK and EXTENSIONS data queries, which follow up on ROOT CALLS:
// every call of one stored root call, and the extension entries of any number of calls.
#pragma once

#include <cstdint>

struct dbs;
struct msg;

constexpr uint64_t DBQ_ROOT_CALL_EXECUTION_STACK = 9;
constexpr uint64_t DBQ_EXTENSIONS = 10;

// An EXECUTION STACK request: u64 agent id, u64 rcall_key, u16 N (calls besides the root);
// bytes after it are ignored.
constexpr uint32_t STACKQ_REQUEST_LEN = 18;
// An EXTENSIONS reference: u64 agent id, u64 extension locator, u32 file id.
constexpr uint32_t EXTQ_REF_LEN = 20;
// An EXTENSIONS reply item before the entry's data: the reference and u16 L.
constexpr uint32_t EXTQ_ITEM_HEAD = 22;

// Runs an EXECUTION STACK request: status 1 with u16 n and the n calls of the root call
// besides its root as big-endian records in stored order (4 with fewer records when they
// do not all fit in one reply). NULL when the request is refused (logged) or the root call
// cannot be read as named; the dispatcher answers it with status 2. The store's files are
// read relative to the working directory; `db` is the store they belong to.
msg *dbq_rcall_execution_stack_run(dbs *db, uint64_t rid, uint64_t qid, const uint8_t *args,
                                   uint32_t len);

// Runs an EXTENSIONS request: status 1 with one item per reference whose entry was found,
// by agent id, then by position in the agent's files (a reference named twice gives two
// items); 4 when the reply was cut at its size limit. NULL when the request is refused
// (logged) or the `.x` files cannot be opened for want of descriptors.
msg *dbq_extensions_run(dbs *db, uint64_t rid, uint64_t qid, const uint8_t *args, uint32_t len);

// Order of the copied EXTENSIONS references (qsort form): by agent id ascending.
int dbq_ext_ref_agent_cmp(const void *a, const void *b);
