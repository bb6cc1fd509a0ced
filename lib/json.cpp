#include "lib/json.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t JSON_NAME_MAX = 30;                // characters of an attribute name
constexpr size_t JSON_VALUE_MAX = 512;              // characters of a value
constexpr int64_t JSON_WIDE_BOUND = JSON_VALUE_MAX; // bound of texts only the buffer limits

enum json_state {
    ST_INIT,        // before the object's "{"
    ST_AWAIT_ATTR,  // expecting an attribute name or "}"
    ST_IN_ATTR,     // inside an attribute name
    ST_AWAIT_VALUE, // after a name, expecting its value
    ST_IN_STRING,   // inside a quoted value
    ST_IN_ESCAPE,   // after a backslash in a quoted value
    ST_IN_TOKEN,    // inside an unquoted value
    ST_POST_VALUE,  // after a value, expecting "," or "}"
    ST_DONE,        // the object's "}" has been read
};

// The state of reading one object; each nested object has its own.
struct json_reader {
    const char *p;    // the character being looked at
    const char **end; // last position reported to the caller; never NULL here
    const json_attr *attrs;
    const json_array *parent; // the array this object is an element of, or NULL
    size_t index;             // the element's index in `parent`
    json_state state;
    const json_attr *cur; // the attribute whose value is being read
    int64_t bound;        // largest position of a quoted value for `cur`
    bool quoted;
    size_t name_len;
    size_t value_len;
    char name[JSON_NAME_MAX + 1];
    char value[JSON_VALUE_MAX + 1];
};

int json_read_object(const char *text, const json_attr *attrs, const json_array *parent,
                     size_t index, const char **end);
int json_read_array(const char *p, const json_array *arr, const char **end);

bool json_is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool json_is_digit(char c) {
    return c >= '0' && c <= '9';
}

const char *json_skip_space(const char *p) {
    while (json_is_space(*p))
        p++;
    return p;
}

// Bytes a scalar destination takes, which is also the stride of a parallel array of it.
size_t json_scalar_size(uint32_t type) {
    switch (type) {
    case JT_INTEGER:
    case JT_UINTEGER:
        return 4;
    case JT_REAL:
    case JT_TIME:
        return 8;
    case JT_BOOLEAN:
    case JT_CHARACTER:
        return 1;
    case JT_SHORT:
    case JT_USHORT:
        return 2;
    default:
        return 0;
    }
}

// Where a scalar attribute's value goes for this object; NULL drops the value. A NULL base
// stays NULL rather than turning into a small bogus address once the index is added.
char *json_dest(const json_attr *a, const json_array *parent, size_t index) {
    if (parent != nullptr && parent->type == JT_STRUCTOBJECT) {
        char *base = static_cast<char *>(parent->arr.structs.base);
        if (base == nullptr)
            return nullptr;
        return base + index * parent->arr.structs.stride + a->target.offset;
    }
    char *ptr = static_cast<char *>(a->target.ptr);
    if (ptr == nullptr || parent == nullptr || parent->type != JT_OBJECT)
        return ptr;
    return ptr + index * json_scalar_size(a->type);
}

// Strings are not indexed in parallel arrays: only the first element may hold one.
bool json_parallel_string(const json_attr *a, const json_array *parent, size_t index) {
    return a->type == JT_STRING && parent != nullptr && parent->type == JT_OBJECT && index > 0;
}

int json_store_defaults(const json_reader *r) {
    for (const json_attr *a = r->attrs; a->name != nullptr; a++) {
        if (a->nodefault)
            continue;
        if (a->type == JT_STRING) {
            if (json_parallel_string(a, r->parent, r->index))
                return JSON_ERR_PARALLEL_STRING;
            char *d = json_dest(a, r->parent, r->index);
            if (d != nullptr && a->len > 0)
                d[0] = '\0';
            continue;
        }
        size_t size = json_scalar_size(a->type);
        if (size == 0)
            continue;
        char *d = json_dest(a, r->parent, r->index);
        if (d != nullptr)
            memcpy(d, &a->dflt, size);
    }
    return 0;
}

// Integer ranges of the destination types.
struct json_range {
    int64_t lo, hi;
};

json_range json_integer_range(uint32_t type) {
    switch (type) {
    case JT_INTEGER:
        return {INT32_MIN, INT32_MAX};
    case JT_UINTEGER:
        return {0, UINT32_MAX};
    case JT_SHORT:
        return {INT16_MIN, INT16_MAX};
    default:
        return {0, UINT16_MAX};
    }
}

// Converts the number at `text` for an integer destination of `type`. `stop` receives the
// first character not converted. A number that is missing or does not fit the destination
// is refused rather than wrapped.
int json_convert_integer(const char *text, int base, uint32_t type, int64_t *out,
                         const char **stop) {
    char *e;
    errno = 0;
    long long v = strtoll(text, &e, base);
    *stop = e;
    json_range range = json_integer_range(type);
    if (e == text || errno == ERANGE || v < range.lo || v > range.hi)
        return JSON_ERR_CONVERSION;
    *out = v;
    return 0;
}

int json_convert_real(const char *text, double *out, const char **stop) {
    char *e;
    double v = strtod(text, &e);
    *stop = e;
    if (e == text || !std::isfinite(v))
        return JSON_ERR_CONVERSION;
    *out = v;
    return 0;
}

void json_put_integer(char *dest, uint32_t type, int64_t v) {
    if (type == JT_SHORT || type == JT_USHORT) {
        uint16_t x = static_cast<uint16_t>(v);
        memcpy(dest, &x, sizeof x);
    } else {
        uint32_t x = static_cast<uint32_t>(v);
        memcpy(dest, &x, sizeof x);
    }
}

bool json_is_integer_type(uint32_t type) {
    return type == JT_INTEGER || type == JT_UINTEGER || type == JT_SHORT || type == JT_USHORT;
}

// Stores a whole value text into a number destination (NULL: converted, then dropped).
int json_store_number(char *dest, uint32_t type, const char *text) {
    const char *stop;
    if (type == JT_REAL) {
        double v;
        if (json_convert_real(text, &v, &stop) != 0 || *stop != '\0')
            return JSON_ERR_CONVERSION;
        if (dest != nullptr)
            memcpy(dest, &v, sizeof v);
        return 0;
    }
    int64_t v;
    if (json_convert_integer(text, 10, type, &v, &stop) != 0 || *stop != '\0')
        return JSON_ERR_CONVERSION;
    if (dest != nullptr)
        json_put_integer(dest, type, v);
    return 0;
}

int json_store_string(const json_reader *r, const json_attr *a) {
    if (json_parallel_string(a, r->parent, r->index))
        return JSON_ERR_PARALLEL_STRING;
    // A value that does not fit whole is refused, never cut.
    if (r->value_len >= a->len)
        return JSON_ERR_STRING_LONG;
    char *d = json_dest(a, r->parent, r->index);
    if (d != nullptr)
        memcpy(d, r->value, r->value_len + 1);
    return 0;
}

int json_store_value(const json_reader *r, const json_attr *a) {
    if (a->type == JT_REAL || json_is_integer_type(a->type))
        return json_store_number(json_dest(a, r->parent, r->index), a->type, r->value);
    char *d;
    switch (a->type) {
    case JT_BOOLEAN:
        d = json_dest(a, r->parent, r->index);
        if (d != nullptr)
            *d = strcmp(r->value, "true") == 0 ? 1 : 0;
        return 0;
    case JT_CHARACTER:
        if (r->value_len > 1)
            return JSON_ERR_STRING_LONG;
        d = json_dest(a, r->parent, r->index);
        if (d != nullptr)
            *d = r->value[0];
        return 0;
    case JT_STRING:
        return json_store_string(r, a);
    case JT_CHECK:
        if (a->dflt.check == nullptr)
            return JSON_ERR_NULL;
        return strcmp(r->value, a->dflt.check) == 0 ? 0 : JSON_ERR_CHECK;
    default:
        return 0;
    }
}

// Whether a value suits an entry when several consecutive entries share a name.
bool json_fits(const json_attr *a, const char *value, bool quoted) {
    switch (a->type) {
    case JT_STRING:
    case JT_TIME:
        return quoted;
    case JT_BOOLEAN:
        return strcmp(value, "true") == 0 || strcmp(value, "false") == 0;
    case JT_REAL:
        return json_is_digit(value[0]) && strchr(value, '.') != nullptr;
    case JT_INTEGER:
    case JT_UINTEGER:
        return json_is_digit(value[0]) && strchr(value, '.') == nullptr;
    default:
        return false;
    }
}

const json_attr *json_pick_namesake(const json_attr *a, const char *value, bool quoted) {
    while (!json_fits(a, value, quoted) && a[1].name != nullptr && strcmp(a[1].name, a->name) == 0)
        a++;
    return a;
}

int json_check_quoting(const json_attr *a, bool quoted) {
    bool text_type = a->type == JT_STRING || a->type == JT_CHECK || a->type == JT_TIME;
    if (quoted) {
        if (text_type || a->type == JT_CHARACTER || a->type == JT_IGNORE || a->map != nullptr)
            return 0;
        return JSON_ERR_QUOTED;
    }
    return text_type || a->map != nullptr ? JSON_ERR_UNQUOTED : 0;
}

// Replaces a mapped text by its number written in decimal.
int json_map_value(json_reader *r, const json_enum *map) {
    for (const json_enum *e = map; e->name != nullptr; e++) {
        if (strcmp(e->name, r->value) == 0) {
            int n = snprintf(r->value, sizeof r->value, "%d", e->value);
            r->value_len = static_cast<size_t>(n);
            return 0;
        }
    }
    return JSON_ERR_ENUM;
}

int json_complete_value(json_reader *r) {
    r->value[r->value_len] = '\0';
    const json_attr *a = json_pick_namesake(r->cur, r->value, r->quoted);
    int rc = json_check_quoting(a, r->quoted);
    if (rc == 0 && a->map != nullptr)
        rc = json_map_value(r, a->map);
    if (rc == 0)
        rc = json_store_value(r, a);
    r->state = ST_POST_VALUE;
    return rc;
}

// Whether one more character of a quoted value would pass the buffer or the bound.
bool json_quoted_full(const json_reader *r) {
    return r->value_len >= JSON_VALUE_MAX || static_cast<int64_t>(r->value_len) > r->bound;
}

const json_attr *json_lookup(const json_attr *attrs, const char *name) {
    for (const json_attr *a = attrs; a->name != nullptr; a++) {
        if (strcmp(a->name, name) == 0)
            return a;
    }
    return nullptr;
}

// The largest position a quoted value may reach for the attribute just named. Types that
// set no bound of their own keep the one the previous attribute left.
int json_set_bound(json_reader *r) {
    const json_attr *a = r->cur;
    switch (a->type) {
    case JT_STRING:
        r->bound = a->len > JSON_VALUE_MAX ? JSON_WIDE_BOUND : static_cast<int64_t>(a->len) - 1;
        return 0;
    case JT_CHECK:
        if (a->dflt.check == nullptr)
            return JSON_ERR_NULL;
        r->bound = static_cast<int64_t>(strlen(a->dflt.check));
        return 0;
    case JT_TIME:
    case JT_IGNORE:
        r->bound = JSON_WIDE_BOUND;
        return 0;
    case JT_OBJECT:
        return a->target.attrs == nullptr ? JSON_ERR_NULL : 0;
    default:
        if (a->map != nullptr)
            r->bound = JSON_WIDE_BOUND;
        return 0;
    }
}

// Reports the character under the cursor as the failure's position.
int json_fail_here(json_reader *r, int code) {
    *r->end = r->p;
    return code;
}

// Takes the character under the cursor and moves to `state`.
int json_take(json_reader *r, json_state state) {
    r->state = state;
    r->p++;
    return 0;
}

int json_on_init(json_reader *r) {
    if (*r->p != '{')
        return json_fail_here(r, JSON_ERR_NO_OBJECT);
    return json_take(r, ST_AWAIT_ATTR);
}

int json_on_await_attr(json_reader *r) {
    char c = *r->p;
    if (c == '}')
        return json_take(r, ST_DONE);
    *r->end = r->p;
    if (c != '"')
        return JSON_ERR_NO_ATTR;
    r->name_len = 0;
    return json_take(r, ST_IN_ATTR);
}

int json_on_attr(json_reader *r) {
    char c = *r->p;
    r->p++;
    if (c != '"') {
        if (r->name_len >= JSON_NAME_MAX)
            return JSON_ERR_NAME_LONG;
        r->name[r->name_len++] = c;
        return 0;
    }
    r->name[r->name_len] = '\0';
    r->cur = json_lookup(r->attrs, r->name);
    if (r->cur == nullptr)
        return JSON_ERR_UNKNOWN_ATTR;
    r->state = ST_AWAIT_VALUE;
    return json_set_bound(r);
}

int json_nested_array(json_reader *r) {
    int rc = json_read_array(r->p, &r->cur->target.array, r->end);
    if (rc != 0)
        return rc;
    r->p = *r->end + 1;
    r->state = ST_POST_VALUE;
    return 0;
}

int json_nested_object(json_reader *r) {
    int rc = json_read_object(r->p, r->cur->target.attrs, nullptr, 0, r->end);
    if (rc != 0)
        return rc;
    r->p = *r->end;
    r->state = ST_POST_VALUE;
    return 0;
}

int json_on_await_value(json_reader *r) {
    char c = *r->p;
    uint32_t type = r->cur->type;
    if (c == ':') {
        r->p++;
        return 0;
    }
    if (c == '[' || c == '{') {
        uint32_t wanted = c == '[' ? JT_ARRAY : JT_OBJECT;
        if (type != wanted)
            return json_fail_here(r, JSON_ERR_UNEXPECTED_ARRAY);
        return c == '[' ? json_nested_array(r) : json_nested_object(r);
    }
    if (type == JT_ARRAY || type == JT_OBJECT)
        return json_fail_here(r, type == JT_ARRAY ? JSON_ERR_NO_BRACKET : JSON_ERR_NO_BRACE);
    r->value_len = 0;
    r->quoted = c == '"';
    if (r->quoted)
        return json_take(r, ST_IN_STRING);
    r->value[r->value_len++] = c;
    return json_take(r, ST_IN_TOKEN);
}

int json_on_string(json_reader *r) {
    char c = *r->p;
    r->p++;
    if (c == '\\') {
        r->state = ST_IN_ESCAPE;
        return 0;
    }
    if (c == '"')
        return json_complete_value(r);
    if (json_quoted_full(r))
        return JSON_ERR_STRING_LONG;
    r->value[r->value_len++] = c;
    return 0;
}

int json_hex_digit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Reads the four hexadecimal digits of a \u escape; only the low byte is kept. Stops at the
// first character that is not a digit, so the text's NUL is never passed.
int json_read_unicode(json_reader *r, char *out) {
    unsigned v = 0;
    for (int i = 0; i < 4; i++) {
        int d = json_hex_digit(r->p[i]);
        if (d < 0)
            return JSON_ERR_STRING;
        v = v << 4 | static_cast<unsigned>(d);
    }
    r->p += 4;
    *out = static_cast<char>(v & 0xFF);
    return 0;
}

int json_on_escape(json_reader *r) {
    static const char plain[] = "bfnrt";
    static const char meant[] = "\b\f\n\r\t";
    if (json_quoted_full(r))
        return JSON_ERR_STRING_LONG;
    char c = *r->p;
    r->p++;
    r->state = ST_IN_STRING;
    if (c == 'u') {
        int rc = json_read_unicode(r, &c);
        if (rc != 0)
            return rc;
    } else if (const char *k = strchr(plain, c); k != nullptr) {
        c = meant[k - plain];
    }
    r->value[r->value_len++] = c;
    return 0;
}

int json_on_token(json_reader *r) {
    char c = *r->p;
    if (json_is_space(c) || c == ',' || c == '}')
        return json_complete_value(r);
    if (r->value_len >= JSON_VALUE_MAX)
        return JSON_ERR_TOKEN_LONG;
    r->value[r->value_len++] = c;
    r->p++;
    return 0;
}

int json_on_post_value(json_reader *r) {
    char c = *r->p;
    if (c == ',')
        return json_take(r, ST_AWAIT_ATTR);
    if (c == '}')
        return json_take(r, ST_DONE);
    return json_fail_here(r, JSON_ERR_GARBAGE);
}

using json_handler = int (*)(json_reader *r);

// Indexed by json_state; ST_DONE ends the walk and has no handler.
const struct {
    json_handler handle;
    bool skips_space; // white space between tokens is passed over in this state
} json_states[] = {
    {json_on_init, true},        {json_on_await_attr, true}, {json_on_attr, false},
    {json_on_await_value, true}, {json_on_string, false},    {json_on_escape, false},
    {json_on_token, false},      {json_on_post_value, true},
};

int json_step(json_reader *r) {
    if (json_states[r->state].skips_space && json_is_space(*r->p)) {
        r->p++;
        return 0;
    }
    return json_states[r->state].handle(r);
}

int json_read_object(const char *text, const json_attr *attrs, const json_array *parent,
                     size_t index, const char **end) {
    if (text == nullptr || attrs == nullptr)
        return JSON_ERR_NULL;
    json_reader r{};
    r.p = text;
    r.end = end;
    r.attrs = attrs;
    r.parent = parent;
    r.index = index;
    r.state = ST_INIT;
    int rc = json_store_defaults(&r);
    while (rc == 0 && *r.p != '\0' && r.state != ST_DONE)
        rc = json_step(&r);
    if (rc != 0)
        return rc;
    if (r.state == ST_DONE)
        r.p = json_skip_space(r.p);
    *end = r.p;
    // Only a text with no object at all reads as "all defaults"; an object that the text
    // leaves open is refused, so a truncated file never loads.
    return r.state == ST_DONE || r.state == ST_INIT ? 0 : JSON_ERR_GARBAGE;
}

int json_read_array_string(const char **pp, const json_array_strings *s, int32_t i, int32_t *used) {
    const char *p = *pp;
    if (s->ptrs == nullptr || s->store == nullptr)
        return JSON_ERR_NULL;
    if (json_is_space(*p))
        p++;
    if (*p != '"' || *used >= s->storelen)
        return JSON_ERR_STRING;
    p++;
    s->ptrs[i] = s->store + *used;
    for (; *p != '"'; p++) {
        // Each character must leave room for the terminating NUL.
        if (*p == '\0' || static_cast<int64_t>(*used) + 1 >= s->storelen)
            return JSON_ERR_STRING;
        s->store[(*used)++] = *p;
    }
    s->store[(*used)++] = '\0';
    *pp = p + 1;
    return 0;
}

int json_read_array_number(const char **pp, const json_array *arr, int32_t i) {
    char *elements = static_cast<char *>(arr->arr.elements);
    size_t size = json_scalar_size(arr->type);
    if (elements == nullptr)
        return JSON_ERR_NULL;
    if (arr->type == JT_REAL) {
        double v;
        int rc = json_convert_real(*pp, &v, pp);
        if (rc == 0)
            memcpy(elements + static_cast<size_t>(i) * size, &v, sizeof v);
        return rc;
    }
    int64_t v;
    int rc = json_convert_integer(*pp, 0, arr->type, &v, pp);
    if (rc == 0)
        json_put_integer(elements + static_cast<size_t>(i) * size, arr->type, v);
    return rc;
}

int json_read_array_boolean(const char **pp, const json_array *arr, int32_t i) {
    bool *elements = static_cast<bool *>(arr->arr.elements);
    if (elements == nullptr)
        return JSON_ERR_NULL;
    if (strncmp(*pp, "true", 4) == 0) {
        elements[i] = true;
        *pp += 4;
    } else if (strncmp(*pp, "false", 5) == 0) {
        elements[i] = false;
        *pp += 5;
    }
    return 0;
}

int json_read_element_object(const char **pp, const json_attr *table, const json_array *arr,
                             int32_t i, const char **end) {
    int rc = json_read_object(*pp, table, arr, static_cast<size_t>(i), end);
    if (rc == 0)
        *pp = *end;
    return rc;
}

int json_read_element(const char **pp, const json_array *arr, int32_t i, int32_t *used,
                      const char **end) {
    switch (arr->type) {
    case JT_INTEGER:
    case JT_UINTEGER:
    case JT_SHORT:
    case JT_USHORT:
    case JT_REAL:
        return json_read_array_number(pp, arr, i);
    case JT_STRING:
        return json_read_array_string(pp, &arr->arr.strings, i, used);
    case JT_BOOLEAN:
        return json_read_array_boolean(pp, arr, i);
    case JT_STRUCTOBJECT:
        return json_read_element_object(pp, arr->arr.structs.subtype, arr, i, end);
    case JT_OBJECT:
        return json_read_element_object(pp, arr->arr.parallel, arr, i, end);
    case JT_TIME:
        return 0;
    default:
        return JSON_ERR_ELEMENT_TYPE;
    }
}

int json_read_array(const char *p, const json_array *arr, const char **end) {
    p = json_skip_space(p);
    if (*p != '[')
        return JSON_ERR_NO_ARRAY;
    p = json_skip_space(p + 1);
    if (*p == ']') {
        if (arr->count != nullptr)
            *arr->count = 0;
        *end = p;
        return 0;
    }
    if (arr->maxlen <= 0) {
        *end = p;
        return JSON_ERR_TOO_MANY;
    }
    int32_t used = 0; // characters taken from a string array's store
    for (int32_t i = 0;; i++) {
        int rc = json_read_element(&p, arr, i, &used, end);
        if (rc != 0)
            return rc;
        if (json_is_space(*p))
            p++;
        if (*p == ']') {
            if (arr->count != nullptr)
                *arr->count = i + 1;
            *end = p;
            return 0;
        }
        if (*p != ',')
            return JSON_ERR_ARRAY_GARBAGE;
        p++;
        if (i + 1 >= arr->maxlen) {
            *end = p;
            return JSON_ERR_TOO_MANY;
        }
    }
}

const char *const json_errors[] = {
    "unknown error while parsing JSON",
    "non-whitespace when expecting object start",
    "non-whitespace when expecting attribute start",
    "unknown attribute name",
    "attribute name too long",
    "saw [ when not expecting array",
    "array element specified, but no [",
    "string value too long",
    "token value too long",
    "garbage while expecting comma or } or ]",
    "didn't find expected array start",
    "error while parsing object array",
    "too many array elements",
    "garbage while expecting array comma",
    "unsupported array element type",
    "error while string parsing",
    "check attribute not matched",
    "can't support strings in parallel arrays",
    "invalid enumerated value",
    "saw quoted value when expecting nonstring",
    "didn't see quoted value when expecting string",
    "other data conversion error",
    "unexpected null value or attribute pointer",
    "object element specified, but no {",
};

} // namespace

int json_parse_object_into(const char *text, const json_attr *attrs, const json_array *parent,
                           size_t index, const char **end) {
    const char *local = nullptr;
    if (end == nullptr)
        end = &local;
    *end = nullptr;
    return json_read_object(text, attrs, parent, index, end);
}

int json_parse_object(const char *text, const json_attr *attrs, const char **end) {
    return json_parse_object_into(text, attrs, nullptr, 0, end);
}

int json_parse_array(const char *text, const json_array *array, const char **end) {
    const char *local = nullptr;
    if (end == nullptr)
        end = &local;
    *end = nullptr;
    if (text == nullptr || array == nullptr)
        return JSON_ERR_NULL;
    return json_read_array(text, array, end);
}

const char *json_error_text(int code) {
    constexpr int count = sizeof json_errors / sizeof json_errors[0];
    return code > 0 && code < count ? json_errors[code] : json_errors[0];
}
