// Fuzz target of the JSON reader: any text, read into a table with an attribute of every
// kind, nested objects and arrays of every element type. Each destination is a variable of
// its own, so that a write past one of them hits a sanitizer red zone. Beyond the
// sanitizers, it checks that the result is a code the reader may give, that the end
// position lies inside the text and that every string destination is terminated.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "lib/json.h"

namespace {

struct elem {
    int32_t a;
    char name[6];
    bool f;
    uint16_t port;
};

const json_enum kMap[] = {{"low", 0}, {"high", 70000}, {"neg", -1}, {nullptr, 0}};

void require(bool ok) {
    if (!ok)
        abort();
}

bool terminated(const char *s, size_t len) {
    return memchr(s, '\0', len) != nullptr;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text(reinterpret_cast<const char *>(data), size);

    int32_t i = 0;
    uint32_t u = 0, mapped = 0;
    double r = 0;
    char s[8] = {};
    bool b = false;
    char c = 0;
    int64_t t = 0;
    int16_t sh = 0;
    uint16_t us = 0, deep = 0;
    char ns[4] = {};
    int32_t ints[3] = {}, nints = 0;
    uint32_t uints[2] = {};
    int16_t shorts[2] = {};
    uint16_t ushorts[2] = {};
    double reals[2] = {};
    bool bools[2] = {};
    char *strs[3] = {};
    char store[10] = {};
    elem elems[2] = {};
    int32_t px[2] = {};
    char py[2] = {};
    char ps[5] = {};
    char chars[2] = {};
    int64_t times[2] = {};

    const json_attr deep_attrs[] = {
        {.name = "d", .type = JT_USHORT, .target = {.ptr = &deep}},
        {},
    };
    const json_attr nested[] = {
        {.name = "s", .type = JT_STRING, .target = {.ptr = ns}, .len = sizeof ns},
        {.name = "deep", .type = JT_OBJECT, .target = {.attrs = deep_attrs}},
        {.name = "u", .type = JT_UINTEGER, .target = {.ptr = &u}},
        {},
    };
    const json_attr elem_attrs[] = {
        {.name = "a", .type = JT_INTEGER, .target = {.offset = offsetof(elem, a)}},
        {.name = "name",
         .type = JT_STRING,
         .target = {.offset = offsetof(elem, name)},
         .len = sizeof(elem::name)},
        {.name = "f", .type = JT_BOOLEAN, .target = {.offset = offsetof(elem, f)}},
        {.name = "port", .type = JT_USHORT, .target = {.offset = offsetof(elem, port)}},
        {.name = "chk", .type = JT_CHECK, .dflt = {.check = "ok"}},
        {.name = "sub", .type = JT_OBJECT, .target = {.attrs = nested}},
        {},
    };
    const json_attr parallel[] = {
        {.name = "px", .type = JT_INTEGER, .target = {.ptr = px}},
        {.name = "py", .type = JT_CHARACTER, .target = {.ptr = py}},
        {.name = "ps",
         .type = JT_STRING,
         .target = {.ptr = ps},
         .len = sizeof ps,
         .nodefault = true},
        {},
    };
    auto numbers = [](uint32_t type, void *elements, int32_t *count, int32_t maxlen) {
        return json_array{
            .type = type, .arr = {.elements = elements}, .count = count, .maxlen = maxlen};
    };
    const json_attr attrs[] = {
        {.name = "int", .type = JT_INTEGER, .target = {.ptr = &i}},
        {.name = "uint", .type = JT_UINTEGER, .target = {.ptr = &u}},
        {.name = "real", .type = JT_REAL, .target = {.ptr = &r}},
        {.name = "str", .type = JT_STRING, .target = {.ptr = s}, .len = sizeof s},
        {.name = "bool", .type = JT_BOOLEAN, .target = {.ptr = &b}},
        {.name = "char", .type = JT_CHARACTER, .target = {.ptr = &c}},
        {.name = "time", .type = JT_TIME, .target = {.ptr = &t}},
        {.name = "short", .type = JT_SHORT, .target = {.ptr = &sh}},
        {.name = "ushort", .type = JT_USHORT, .target = {.ptr = &us}},
        {.name = "map", .type = JT_UINTEGER, .target = {.ptr = &mapped}, .map = kMap},
        {.name = "check", .type = JT_CHECK, .dflt = {.check = "v1"}},
        {.name = "ignore", .type = JT_IGNORE},
        {.name = "dropped", .type = JT_REAL},
        {.name = "val", .type = JT_INTEGER, .target = {.ptr = &i}},
        {.name = "val", .type = JT_REAL, .target = {.ptr = &r}},
        {.name = "val", .type = JT_STRING, .target = {.ptr = s}, .len = sizeof s},
        {.name = "val", .type = JT_BOOLEAN, .target = {.ptr = &b}},
        {.name = "obj", .type = JT_OBJECT, .target = {.attrs = nested}},
        {.name = "so", .type = JT_STRUCTOBJECT},
        {.name = "ints",
         .type = JT_ARRAY,
         .target = {.array = numbers(JT_INTEGER, ints, &nints, 3)}},
        {.name = "uints",
         .type = JT_ARRAY,
         .target = {.array = numbers(JT_UINTEGER, uints, nullptr, 2)}},
        {.name = "shorts",
         .type = JT_ARRAY,
         .target = {.array = numbers(JT_SHORT, shorts, nullptr, 2)}},
        {.name = "ushorts",
         .type = JT_ARRAY,
         .target = {.array = numbers(JT_USHORT, ushorts, nullptr, 2)}},
        {.name = "reals",
         .type = JT_ARRAY,
         .target = {.array = numbers(JT_REAL, reals, nullptr, 2)}},
        {.name = "bools",
         .type = JT_ARRAY,
         .target = {.array = numbers(JT_BOOLEAN, bools, nullptr, 2)}},
        {.name = "chars",
         .type = JT_ARRAY,
         .target = {.array = numbers(JT_CHARACTER, chars, nullptr, 2)}},
        {.name = "times",
         .type = JT_ARRAY,
         .target = {.array = numbers(JT_TIME, times, nullptr, 2)}},
        {.name = "strs",
         .type = JT_ARRAY,
         .target = {.array = {.type = JT_STRING,
                              .arr = {.strings = {strs, store, static_cast<int32_t>(sizeof store)}},
                              .maxlen = 3}}},
        {.name = "elems",
         .type = JT_ARRAY,
         .target = {.array = {.type = JT_STRUCTOBJECT,
                              .arr = {.structs = {elem_attrs, elems, sizeof(elem)}},
                              .maxlen = 2}}},
        {.name = "par",
         .type = JT_ARRAY,
         .target = {.array = {.type = JT_OBJECT, .arr = {.parallel = parallel}, .maxlen = 2}}},
        {},
    };

    const char *end = nullptr;
    int rc = json_parse_object(text.c_str(), attrs, &end);
    require(rc >= 0 && rc <= 23 && rc != JSON_ERR_OBJECT_ARRAY && rc != JSON_ERR_NULL);
    require(end == nullptr || (end >= text.c_str() && end <= text.c_str() + text.size()));
    require(json_error_text(rc) != nullptr);
    if (rc == 0) {
        require(terminated(s, sizeof s) && terminated(ns, sizeof ns));
        require(nints >= 0 && nints <= 3);
    }
    return 0;
}
