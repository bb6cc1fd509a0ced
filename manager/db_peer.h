// Databases at a Manager without the Database role: the MG-DB loop's role, without a pool.
// A Database's hello announces the address it listens on; the Manager registers it, answers,
// and tells the connected clients that the Database is there. When the connection closes,
// the registration goes and the clients are told the Database has gone, unless another
// connection still announces the same address. Whatever else a Database sends is ignored.
#pragma once

#include <cstdint>

#include "lib/netaddr.h"
#include "server/ioloop.h"

struct manager_ctx;

// The hello body: exactly the nurl of the Database's listening address, family and port
// big-endian.
inline constexpr uint32_t MGDB_HELLO_LEN = NURL_SIZE;

// The notice clients get (a type-7 message): 0, the kind, the family and port little-endian,
// then the 16 address bytes as announced.
inline constexpr uint8_t DBNOTICE_DISCONNECTED = 0;
inline constexpr uint8_t DBNOTICE_CONNECTED = 1;
inline constexpr uint32_t DBNOTICE_LEN = 22;

// The loop's peer record of a Database: its uid is the hash of the announced address.
struct mgdb_peer {
    iol_peer base;
    manager_ctx *ctx;            // the loop's
    uint8_t address[NURL_SIZE]; // as announced
};

// Writes the notice of `kind` for an announced address.
void dbnotice_encode(uint8_t kind, const uint8_t address[NURL_SIZE], uint8_t out[DBNOTICE_LEN]);

// The MG-DB loop. NULL after a FATAL line.
loop *mgdb_loop_create(manager_ctx *ctx);

// Role callbacks of the loop; all run on its thread.
void mgdb_on_auth(auth_request *req);
void mgdb_on_frame(peer_ctx *ctx, const uint8_t *data, uint64_t len);
void mgdb_on_close(iol_peer *peer);
