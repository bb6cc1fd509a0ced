// Table-driven JSON reader.
//
// The caller describes the attributes it accepts in a table of `json_attr` entries, each
// naming where its value goes. The reader walks the text once with a small state machine,
// builds no tree, allocates nothing and stores every value straight into its destination.
// All reading state lives on the caller's stack, so several threads may read at once.
#pragma once

#include <cstddef>
#include <cstdint>

enum json_type : uint32_t {
    JT_INTEGER = 0,      // i32, unquoted number
    JT_UINTEGER = 1,     // u32, unquoted number
    JT_REAL = 2,         // double, unquoted number
    JT_STRING = 3,       // char buffer of `len` bytes, quoted text
    JT_BOOLEAN = 4,      // one byte 1/0, true or false
    JT_CHARACTER = 5,    // one byte, one character quoted or not
    JT_TIME = 6,         // 8 bytes, quoted text read and not stored
    JT_OBJECT = 7,       // nested attribute table
    JT_STRUCTOBJECT = 8, // structure elements of an array
    JT_ARRAY = 9,        // embedded json_array descriptor
    JT_CHECK = 10,       // quoted text that must equal the check text
    JT_IGNORE = 11,      // any scalar, dropped
    JT_SHORT = 12,       // i16, unquoted number
    JT_USHORT = 13,      // u16, unquoted number
};

// Result codes; json_error_text() gives their texts.
enum json_error : int {
    JSON_ERR_NO_OBJECT = 1,
    JSON_ERR_NO_ATTR = 2,
    JSON_ERR_UNKNOWN_ATTR = 3,
    JSON_ERR_NAME_LONG = 4,
    JSON_ERR_UNEXPECTED_ARRAY = 5,
    JSON_ERR_NO_BRACKET = 6,
    JSON_ERR_STRING_LONG = 7,
    JSON_ERR_TOKEN_LONG = 8,
    JSON_ERR_GARBAGE = 9,
    JSON_ERR_NO_ARRAY = 10,
    JSON_ERR_OBJECT_ARRAY = 11,
    JSON_ERR_TOO_MANY = 12,
    JSON_ERR_ARRAY_GARBAGE = 13,
    JSON_ERR_ELEMENT_TYPE = 14,
    JSON_ERR_STRING = 15,
    JSON_ERR_CHECK = 16,
    JSON_ERR_PARALLEL_STRING = 17,
    JSON_ERR_ENUM = 18,
    JSON_ERR_QUOTED = 19,
    JSON_ERR_UNQUOTED = 20,
    JSON_ERR_CONVERSION = 21,
    JSON_ERR_NULL = 22,
    JSON_ERR_NO_BRACE = 23,
};

// One row of a value map: a quoted text read for a numeric attribute stands for `value`.
// A row with a NULL text ends the map.
struct json_enum {
    const char *name;
    int32_t value;
};

struct json_attr;

// Element store of a JT_STRING array: a pointer per element into one character store that
// receives all texts one after another.
struct json_array_strings {
    char **ptrs;
    char *store;
    int32_t storelen;
};

// Element store of a JT_STRUCTOBJECT array: each element is a structure `stride` bytes
// after the previous one; the table's targets are field offsets within the structure.
struct json_array_structs {
    const json_attr *subtype;
    void *base;
    size_t stride;
};

// An array descriptor. The member of `arr` in use is chosen by `type`: `elements` for
// numbers and booleans, `strings`, `structs`, or `parallel` for JT_OBJECT (a table whose
// targets are arrays indexed by element).
struct json_array {
    uint32_t type = JT_INTEGER;
    union {
        void *elements;
        json_array_strings strings;
        json_array_structs structs;
        const json_attr *parallel;
    } arr = {};
    int32_t *count = nullptr; // receives the number of elements read; may be NULL
    int32_t maxlen = 0;       // largest number of elements accepted
};

// Where an attribute's value goes, by type: the destination (`ptr`), a field offset inside
// a structure-array element (`offset`), the nested table (`attrs`), or an array descriptor.
union json_target {
    void *ptr;
    size_t offset;
    const json_attr *attrs;
    json_array array;
};

// The default, read as the destination's type; for JT_CHECK the text to match.
union json_default {
    int32_t integer;
    uint32_t uinteger;
    double real;
    bool boolean;
    char character;
    int16_t shortint;
    uint16_t ushortint;
    const char *check;
};

// One attribute descriptor; a table ends with an entry whose name is NULL. Every member has
// a zero default, so tables name only what they use.
struct json_attr {
    const char *name = nullptr; // at most 30 characters
    uint32_t type = JT_INTEGER; // json_type
    json_target target = {};
    json_default dflt = {};
    size_t len = 0;                 // JT_STRING buffer size, terminating NUL included
    const json_enum *map = nullptr; // NULL or a value map
    bool nodefault = false;         // leave the destination alone when the attribute is absent
};

// Reads one object of the NUL-terminated `text` into `attrs`. Returns 0 or an error code
// 1..23. `end` (may be NULL) receives the first non-white-space position after the object
// on success, the offending character on syntax errors.
int json_parse_object(const char *text, const json_attr *attrs, const char **end);

// The same for the object that is element `index` of the array `parent` (NULL for a plain
// object): destinations are indexed parallel arrays or fields of the index-th structure.
int json_parse_object_into(const char *text, const json_attr *attrs, const json_array *parent,
                           size_t index, const char **end);

// Reads one array into `array`. On success `end` receives the position of its "]".
int json_parse_array(const char *text, const json_array *array, const char **end);

// The text of a result code; codes outside 1..23 give the text of an unknown error.
const char *json_error_text(int code);
