// Agent types and the identity record agents present.
#pragma once

#include <cstdint>

constexpr uint8_t AGENT_TYPE_ANY = 1;
constexpr uint8_t AGENT_TYPE_JVM = 2;
constexpr uint8_t AGENT_TYPE_FCA = 3;

// 64 bytes: the agent type and a NUL-padded label (a full label has no terminator).
struct agent_identity {
    uint8_t type;
    char label[63];
};
static_assert(sizeof(agent_identity) == 64);

// An identity followed by its 64-bit agent id.
struct agent_entry {
    agent_identity identity;
    uint64_t id;
};

// Room for an agent's label in log lines: 63 bytes and a terminator.
constexpr unsigned AGENT_LABEL_TEXT = sizeof(agent_identity::label) + 1;

// The label as log lines show it: at most 63 bytes, control bytes masked (str_printable); the
// stored bytes stay as they are.
void agent_label_text(const agent_identity *id, char out[AGENT_LABEL_TEXT]);

// "JVM", "FCA", or "---" for any other code.
const char *agent_type_name(uint8_t code);
// "java" gives 2, "free" gives 3, NULL or anything else 1 (case matters).
uint8_t agent_type_parse(const char *word);
// qsort comparator over agent_entry records: labels compared byte-wise.
int agent_entry_cmp_name(const void *a, const void *b);
