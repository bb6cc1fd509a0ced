// The Database role's context: the objects its parts share. The role makes it when it opens
// and hands it to its loops, its collector and its queries when it creates them; nothing of
// the role reaches its store or collector any other way.
#pragma once

struct collector;
struct dbs;
struct odb;

struct database_ctx {
    struct dbs *db;              // the open data store
    struct collector *collector; // the collector writing into it
    struct odb *online;          // the online-subscription service; NULL until it exists
};
