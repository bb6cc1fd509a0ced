// The collector's storage operations in the service process: each hands its record to the
// data store named in the collector's callbacks.
#pragma once

#include <cstdint>

#include "database/collector.h"

int collector_kv_cb(dbs_agent *agent, const kv_record *rec);
int collector_rcall_cb(dbs_agent *agent, rcall *rc);
// The store's id of the name, 0 on failure or without a store.
uint32_t collector_symbol_cb(dbs *db, uint32_t type, uint16_t len, const char *name);
