#include "database/collector_store.h"

#include "database/store/dbs.h"
#include "database/store/kv.h"
#include "database/store/rcall.h"
#include "database/store/symbols.h"

int collector_kv_cb(dbs_agent *agent, const kv_record *rec) {
    return dbs_kv_save(agent, rec->key, rec->time, rec->value);
}

int collector_rcall_cb(dbs_agent *agent, rcall *rc) {
    return dbs_rcall_stage(agent, rc);
}

uint32_t collector_symbol_cb(dbs *db, uint32_t type, uint16_t len, const char *name) {
    return db != nullptr ? dbs_symbol_store(db, type, len, name) : 0;
}
