#include "lib/agent_type.h"

#include <cstring>

#include "lib/format.h"

void agent_label_text(const agent_identity *id, char out[AGENT_LABEL_TEXT]) {
    str_printable(out, id->label, sizeof id->label);
}

const char *agent_type_name(uint8_t code) {
    switch (code) {
    case AGENT_TYPE_JVM:
        return "JVM";
    case AGENT_TYPE_FCA:
        return "FCA";
    default:
        return "---";
    }
}

uint8_t agent_type_parse(const char *word) {
    if (word != nullptr && strcmp(word, "java") == 0)
        return AGENT_TYPE_JVM;
    if (word != nullptr && strcmp(word, "free") == 0)
        return AGENT_TYPE_FCA;
    return AGENT_TYPE_ANY;
}

int agent_entry_cmp_name(const void *a, const void *b) {
    const auto *x = static_cast<const agent_entry *>(a);
    const auto *y = static_cast<const agent_entry *>(b);
    // At most the label's own bytes: a full label has no terminator.
    return strncmp(x->identity.label, y->identity.label, sizeof x->identity.label);
}
