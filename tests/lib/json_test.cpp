#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "lib/json.h"

namespace {

// Every destination starts filled with this byte, so a field nothing wrote shows as such.
constexpr unsigned char kUntouched = 0x5A;

struct Elem {
    int32_t a;
    char name[8];
    bool f;
};

// All destinations one attribute table writes to.
struct Sink {
    int32_t i;
    uint32_t u;
    double r;
    char s[8];
    bool b;
    char c;
    int64_t t;
    int16_t sh;
    uint16_t us;
    uint32_t policy;
    uint32_t nodef;
    int32_t any;
    double anyr;
    char anys[8];
    bool anyb;
    uint32_t nu;
    char ns[8];
    uint16_t deep;
    int32_t ints[3], nints;
    uint32_t uints[2];
    int32_t nuints;
    int16_t shorts[2];
    int32_t nshorts;
    uint16_t ushorts[2];
    int32_t nushorts;
    double reals[2];
    int32_t nreals;
    bool bools[3];
    int32_t nbools;
    char *strs[3];
    char store[12];
    int32_t nstrs;
    Elem elems[2];
    int32_t nelems;
    int32_t px[3];
    char py[3];
    char ps[8];
    int32_t npar;
    int32_t nnone;
};

const json_enum kPolicies[] = {{"archive", 0}, {"purge", 1}, {"negative", -1}, {nullptr, 0}};
const std::string kName30(30, 'n');

// One attribute of every kind, with defaults, nested objects, a namesake group and arrays of
// every element type. Not copyable: the tables point into the sink and into each other.
class Reader {
public:
    Reader() { memset(&s, kUntouched, sizeof s); }
    Reader(const Reader &) = delete;
    Reader &operator=(const Reader &) = delete;

    Sink s;
    std::vector<json_attr> deep = {
        {.name = "d", .type = JT_USHORT, .target = {.ptr = &s.deep}, .dflt = {.ushortint = 1}},
        {},
    };
    std::vector<json_attr> nested = {
        {.name = "u", .type = JT_UINTEGER, .target = {.ptr = &s.nu}, .dflt = {.uinteger = 4}},
        {.name = "s", .type = JT_STRING, .target = {.ptr = s.ns}, .len = sizeof s.ns},
        {.name = "deep", .type = JT_OBJECT, .target = {.attrs = deep.data()}},
        {},
    };
    std::vector<json_attr> elem = {
        {.name = "a",
         .type = JT_INTEGER,
         .target = {.offset = offsetof(Elem, a)},
         .dflt = {.integer = -1}},
        {.name = "name",
         .type = JT_STRING,
         .target = {.offset = offsetof(Elem, name)},
         .len = sizeof(Elem::name)},
        {.name = "f", .type = JT_BOOLEAN, .target = {.offset = offsetof(Elem, f)}},
        {.name = "chk", .type = JT_CHECK, .dflt = {.check = "ok"}},
        {},
    };
    std::vector<json_attr> parallel = {
        {.name = "px", .type = JT_INTEGER, .target = {.ptr = s.px}, .dflt = {.integer = 9}},
        {.name = "py", .type = JT_CHARACTER, .target = {.ptr = s.py}, .dflt = {.character = '-'}},
        {.name = "ps", .type = JT_STRING, .target = {.ptr = s.ps}, .len = sizeof s.ps},
        {},
    };
    std::vector<json_attr> parallel_numbers = {parallel[0], parallel[1], {}};
    std::vector<json_attr> attrs = {
        {.name = "int", .type = JT_INTEGER, .target = {.ptr = &s.i}, .dflt = {.integer = -7}},
        {.name = "uint", .type = JT_UINTEGER, .target = {.ptr = &s.u}, .dflt = {.uinteger = 9}},
        {.name = "real", .type = JT_REAL, .target = {.ptr = &s.r}, .dflt = {.real = 2.5}},
        {.name = "str", .type = JT_STRING, .target = {.ptr = s.s}, .len = sizeof s.s},
        {.name = "bool", .type = JT_BOOLEAN, .target = {.ptr = &s.b}, .dflt = {.boolean = true}},
        {.name = "char", .type = JT_CHARACTER, .target = {.ptr = &s.c}, .dflt = {.character = 'x'}},
        {.name = "time", .type = JT_TIME, .target = {.ptr = &s.t}, .dflt = {.real = 0.0}},
        {.name = "short", .type = JT_SHORT, .target = {.ptr = &s.sh}, .dflt = {.shortint = -3}},
        {.name = "ushort",
         .type = JT_USHORT,
         .target = {.ptr = &s.us},
         .dflt = {.ushortint = 8080}},
        {.name = "policy", .type = JT_UINTEGER, .target = {.ptr = &s.policy}, .map = kPolicies},
        {.name = "nodef", .type = JT_UINTEGER, .target = {.ptr = &s.nodef}, .nodefault = true},
        {.name = "dropped", .type = JT_INTEGER},
        {.name = "check", .type = JT_CHECK, .dflt = {.check = "v1"}},
        {.name = "ignore", .type = JT_IGNORE},
        {.name = kName30.c_str(), .type = JT_IGNORE},
        {.name = "val", .type = JT_INTEGER, .target = {.ptr = &s.any}},
        {.name = "val", .type = JT_REAL, .target = {.ptr = &s.anyr}},
        {.name = "val", .type = JT_STRING, .target = {.ptr = s.anys}, .len = sizeof s.anys},
        {.name = "val", .type = JT_BOOLEAN, .target = {.ptr = &s.anyb}},
        {.name = "obj", .type = JT_OBJECT, .target = {.attrs = nested.data()}},
        {.name = "ints",
         .type = JT_ARRAY,
         .target = {.array = numbers(JT_INTEGER, s.ints, &s.nints, 3)}},
        {.name = "uints",
         .type = JT_ARRAY,
         .target = {.array = numbers(JT_UINTEGER, s.uints, &s.nuints, 2)}},
        {.name = "shorts",
         .type = JT_ARRAY,
         .target = {.array = numbers(JT_SHORT, s.shorts, &s.nshorts, 2)}},
        {.name = "ushorts",
         .type = JT_ARRAY,
         .target = {.array = numbers(JT_USHORT, s.ushorts, &s.nushorts, 2)}},
        {.name = "reals",
         .type = JT_ARRAY,
         .target = {.array = numbers(JT_REAL, s.reals, &s.nreals, 2)}},
        {.name = "bools",
         .type = JT_ARRAY,
         .target = {.array = numbers(JT_BOOLEAN, s.bools, &s.nbools, 3)}},
        {.name = "chars",
         .type = JT_ARRAY,
         .target = {.array = numbers(JT_CHARACTER, s.py, nullptr, 3)}},
        {.name = "none",
         .type = JT_ARRAY,
         .target = {.array = numbers(JT_INTEGER, s.ints, &s.nnone, 0)}},
        {.name = "strs",
         .type = JT_ARRAY,
         .target = {.array = {.type = JT_STRING,
                              .arr = {.strings = {s.strs, s.store,
                                                  static_cast<int32_t>(sizeof s.store)}},
                              .count = &s.nstrs,
                              .maxlen = 3}}},
        {.name = "elems",
         .type = JT_ARRAY,
         .target = {.array = {.type = JT_STRUCTOBJECT,
                              .arr = {.structs = {elem.data(), s.elems, sizeof(Elem)}},
                              .count = &s.nelems,
                              .maxlen = 2}}},
        {.name = "par",
         .type = JT_ARRAY,
         .target = {.array = {.type = JT_OBJECT,
                              .arr = {.parallel = parallel.data()},
                              .count = &s.npar,
                              .maxlen = 3}}},
        {.name = "parn",
         .type = JT_ARRAY,
         .target = {.array = {.type = JT_OBJECT,
                              .arr = {.parallel = parallel_numbers.data()},
                              .count = &s.npar,
                              .maxlen = 3}}},
        {},
    };

    json_array *array(const char *name) {
        for (json_attr &a : attrs) {
            if (a.name != nullptr && strcmp(a.name, name) == 0)
                return &a.target.array;
        }
        return nullptr;
    }

    // The shown value of one destination, or "untouched" when nothing wrote to it.
    std::string show(const std::string &field) const {
        auto it = shows().find(field);
        if (it == shows().end())
            return "no such field " + field;
        return it->second(s);
    }

private:
    static json_array numbers(uint32_t type, void *elements, int32_t *count, int32_t maxlen) {
        return {.type = type, .arr = {.elements = elements}, .count = count, .maxlen = maxlen};
    }

    using Shower = std::function<std::string(const Sink &)>;
    static const std::map<std::string, Shower> &shows();
};

bool untouched(const void *p, size_t n) {
    const unsigned char *b = static_cast<const unsigned char *>(p);
    for (size_t k = 0; k < n; k++) {
        if (b[k] != kUntouched)
            return false;
    }
    return true;
}

template <typename T> std::string num(const T &v) {
    if (untouched(&v, sizeof v))
        return "untouched";
    if constexpr (std::is_same_v<T, bool>) {
        // Read as a byte: a bool object holding anything but 0 or 1 must not be loaded.
        unsigned char x;
        memcpy(&x, &v, 1);
        return std::to_string(x);
    } else if constexpr (std::is_floating_point_v<T>) {
        char buf[32];
        snprintf(buf, sizeof buf, "%g", v);
        return buf;
    } else {
        return std::to_string(v);
    }
}

std::string text(const char *s, size_t n) {
    if (untouched(s, 1))
        return "untouched";
    return std::string(s, strnlen(s, n));
}

// "count:e0,e1,..." for the elements an array read.
template <typename T> std::string list(const T *v, int32_t count) {
    if (untouched(&count, sizeof count))
        return "untouched";
    std::string out = std::to_string(count) + ":";
    for (int32_t k = 0; k < count; k++)
        out += (k ? "," : "") + num(v[k]);
    return out;
}

const std::map<std::string, Reader::Shower> &Reader::shows() {
    static const std::map<std::string, Shower> m = {
        {"int", [](const Sink &s) { return num(s.i); }},
        {"uint", [](const Sink &s) { return num(s.u); }},
        {"real", [](const Sink &s) { return num(s.r); }},
        {"str", [](const Sink &s) { return text(s.s, sizeof s.s); }},
        {"bool", [](const Sink &s) { return num(s.b); }},
        {"char", [](const Sink &s) { return text(&s.c, 1); }},
        {"time", [](const Sink &s) { return num(s.t); }},
        {"short", [](const Sink &s) { return num(s.sh); }},
        {"ushort", [](const Sink &s) { return num(s.us); }},
        {"policy", [](const Sink &s) { return num(s.policy); }},
        {"nodef", [](const Sink &s) { return num(s.nodef); }},
        {"any", [](const Sink &s) { return num(s.any); }},
        {"anyr", [](const Sink &s) { return num(s.anyr); }},
        {"anys", [](const Sink &s) { return text(s.anys, sizeof s.anys); }},
        {"anyb", [](const Sink &s) { return num(s.anyb); }},
        {"obj.u", [](const Sink &s) { return num(s.nu); }},
        {"obj.s", [](const Sink &s) { return text(s.ns, sizeof s.ns); }},
        {"obj.deep.d", [](const Sink &s) { return num(s.deep); }},
        {"ints", [](const Sink &s) { return list(s.ints, s.nints); }},
        {"uints", [](const Sink &s) { return list(s.uints, s.nuints); }},
        {"shorts", [](const Sink &s) { return list(s.shorts, s.nshorts); }},
        {"ushorts", [](const Sink &s) { return list(s.ushorts, s.nushorts); }},
        {"reals", [](const Sink &s) { return list(s.reals, s.nreals); }},
        {"bools", [](const Sink &s) { return list(s.bools, s.nbools); }},
        {"none", [](const Sink &s) { return num(s.nnone); }},
        {"strs",
         [](const Sink &s) {
             if (untouched(&s.nstrs, sizeof s.nstrs))
                 return std::string("untouched");
             std::string out = std::to_string(s.nstrs) + ":";
             for (int32_t k = 0; k < s.nstrs; k++)
                 out += std::string(k ? "," : "") + s.strs[k];
             return out;
         }},
        {"elems",
         [](const Sink &s) {
             if (untouched(&s.nelems, sizeof s.nelems))
                 return std::string("untouched");
             std::string out = std::to_string(s.nelems) + ":";
             for (int32_t k = 0; k < s.nelems; k++) {
                 const Elem &e = s.elems[k];
                 out +=
                     (k ? ";" : "") + num(e.a) + "/" + text(e.name, sizeof e.name) + "/" + num(e.f);
             }
             return out;
         }},
        {"par",
         [](const Sink &s) {
             if (untouched(&s.npar, sizeof s.npar))
                 return std::string("untouched");
             std::string out = std::to_string(s.npar) + ":";
             for (int32_t k = 0; k < s.npar; k++)
                 out += (k ? ";" : "") + num(s.px[k]) + "/" + text(&s.py[k], 1);
             return out + "/" + text(s.ps, sizeof s.ps);
         }},
    };
    return m;
}

struct Case {
    std::string text;
    int code;
    std::vector<std::pair<std::string, std::string>> expect; // field, shown value
};

// What every call stores before reading: the defaults of the top-level table.
const std::vector<std::pair<std::string, std::string>> kDefaults = {
    {"int", "-7"},         {"uint", "9"},   {"real", "2.5"},        {"str", ""},
    {"bool", "1"},         {"char", "x"},   {"time", "0"},          {"short", "-3"},
    {"ushort", "8080"},    {"policy", "0"}, {"nodef", "untouched"}, {"obj.u", "untouched"},
    {"ints", "untouched"}, {"any", "0"},
};

std::string repeat(char c, size_t n) {
    return std::string(n, c);
}

const std::vector<Case> kCases = {
    // Texts without an object, and empty objects, store the defaults only.
    {"", 0, kDefaults},
    {" \t\r\n\v\f", 0, kDefaults},
    {"{}", 0, kDefaults},
    {" { } ", 0, kDefaults},

    // Every scalar kind.
    {R"({"int": -42, "uint": 4294967295, "real": -2e3, "short": -32768, "ushort": 65535})",
     0,
     {{"int", "-42"},
      {"uint", "4294967295"},
      {"real", "-2000"},
      {"short", "-32768"},
      {"ushort", "65535"}}},
    {R"({"int": 2147483647, "real": 1.5, "short": 32767, "ushort": 0})",
     0,
     {{"int", "2147483647"}, {"real", "1.5"}, {"short", "32767"}, {"ushort", "0"}}},
    {R"({"str": "1234567"})", 0, {{"str", "1234567"}}},
    {R"({"str": ""})", 0, {{"str", ""}}},
    {R"({"bool": false})", 0, {{"bool", "0"}}},
    {R"({"bool": true})", 0, {{"bool", "1"}}},
    {R"({"bool": yes})", 0, {{"bool", "0"}}},
    {R"({"char": "q"})", 0, {{"char", "q"}}},
    {R"({"char": q})", 0, {{"char", "q"}}},
    {R"({"time": "2020-01-01T00:00:00"})", 0, {{"time", "0"}}},
    {R"({"check": "v1"})", 0, {}},
    {R"({"ignore": "anything", "ignore": 12.5e3})", 0, {}},
    {R"({"nodef": 5})", 0, {{"nodef", "5"}}},
    {R"({"dropped": 5, "int": 1})", 0, {{"int", "1"}}},
    {"{\"" + kName30 + "\": 1}", 0, {}},
    // Value maps.
    {R"({"policy": "purge"})", 0, {{"policy", "1"}}},
    {R"({"policy": "archive"})", 0, {{"policy", "0"}}},

    // Syntax variants: the colon is optional, a comma may trail, escapes.
    {R"({"int" 5 , "uint":6,})", 0, {{"int", "5"}, {"uint", "6"}}},
    {R"({"str": "a\"b\\c\/"})", 0, {{"str", "a\"b\\c/"}}},
    {R"({"str": "\b\f\n\r\t"})", 0, {{"str", "\b\f\n\r\t"}}},
    {R"({"str": "\u00e9\u20AC"})", 0, {{"str", "\xE9\xAC"}}},

    // Namesakes: the first entry of the name that fits the value is chosen.
    {R"({"val": 12})", 0, {{"any", "12"}, {"anyr", "0"}}},
    {R"({"val": 1.5})", 0, {{"anyr", "1.5"}, {"any", "0"}}},
    {R"({"str": "", "val": "word"})", 0, {{"anys", "word"}, {"any", "0"}}},
    // The bound of a quoted value comes from the first namesake, here one left at 0.
    {R"({"val": "word"})", JSON_ERR_STRING_LONG, {}},
    {R"({"val": true})", 0, {{"anyb", "1"}}},

    // Nested objects, their defaults, and closing braces one after another.
    {R"({"obj": {"u": 3, "s": "in", "deep": {"d": 7}}})",
     0,
     {{"obj.u", "3"}, {"obj.s", "in"}, {"obj.deep.d", "7"}}},
    {R"({"obj": {}, "int": 1})", 0, {{"obj.u", "4"}, {"obj.s", ""}, {"int", "1"}}},
    {R"({"obj": {"deep": {}}  } )", 0, {{"obj.u", "4"}, {"obj.deep.d", "1"}}},

    // Arrays of every supported element type.
    {R"({"ints": [1,  0x10, 010]})", 0, {{"ints", "3:1,16,8"}}},
    {R"({"ints": [ -5 ]})", 0, {{"ints", "1:-5"}}},
    {R"({"ints": []})", 0, {{"ints", "0:"}}},
    {R"({"none": []})", 0, {{"none", "0"}}},
    {R"({"uints": [0xFFFFFFFF, 7]})", 0, {{"uints", "2:4294967295,7"}}},
    {R"({"shorts": [-32768, 0x7fff]})", 0, {{"shorts", "2:-32768,32767"}}},
    {R"({"ushorts": [65535]})", 0, {{"ushorts", "1:65535"}}},
    {R"({"reals": [1.5, -2]})", 0, {{"reals", "2:1.5,-2"}}},
    {R"({"bools": [true,false,true]})", 0, {{"bools", "3:1,0,1"}}},
    // A boolean element is matched where it stands: a leading space reads nothing.
    {R"({"bools": [true, false]})", JSON_ERR_ARRAY_GARBAGE, {}},
    {R"({"strs": ["ab", "", "c d"]})", 0, {{"strs", "3:ab,,c d"}}},
    {R"({"strs": ["a\b"]})", 0, {{"strs", "1:a\\b"}}},
    {R"({"elems": [{"a": 1, "name": "x", "f": true, "chk": "ok"}, {"f": false}]})",
     0,
     {{"elems", "2:1/x/1;-1//0"}}},
    {R"({"par": [{"px": 1, "py": "a", "ps": "first"}]})", 0, {{"par", "1:1/a/first"}}},
    {R"({"parn": [{"px": 1, "py": "a"}, {"py": "b"}, {"px": 3}]})",
     0,
     {{"par", "3:1/a;9/b;3/-/untouched"}}},

    // 1..23, each reachable from text, with what was stored before the failure.
    {"x{}", JSON_ERR_NO_OBJECT, kDefaults},
    {"}", JSON_ERR_NO_OBJECT, {}},
    {R"({int: 1})", JSON_ERR_NO_ATTR, {}},
    {R"({"int": 1,, })", JSON_ERR_NO_ATTR, {{"int", "1"}}},
    {R"({"int": 5, "nope": 1})", JSON_ERR_UNKNOWN_ATTR, {{"int", "5"}}},
    {R"({"Int": 5})", JSON_ERR_UNKNOWN_ATTR, {}},
    {"{\"" + repeat('m', 30) + "\": 1}", JSON_ERR_UNKNOWN_ATTR, {}},
    {"{\"" + kName30 + "n\": 1}", JSON_ERR_NAME_LONG, {}},
    {R"({"int": [1]})", JSON_ERR_UNEXPECTED_ARRAY, {}},
    {R"({"int": {}})", JSON_ERR_UNEXPECTED_ARRAY, {}},
    {R"({"ints": 1})", JSON_ERR_NO_BRACKET, {}},
    {R"({"str": "12345678"})", JSON_ERR_STRING_LONG, {{"str", ""}}},
    {R"({"char": "ab"})", JSON_ERR_STRING_LONG, {{"char", "x"}}},
    {R"({"ushort": "80"})", JSON_ERR_STRING_LONG, {}},
    {"{\"ignore\": \"" + repeat('q', 513) + "\"}", JSON_ERR_STRING_LONG, {}},
    {"{\"ignore\": \"" + repeat('q', 512) + "\"}", 0, {}},
    {"{\"ignore\": " + repeat('7', 513) + "}", JSON_ERR_TOKEN_LONG, {}},
    {"{\"ignore\": " + repeat('7', 512) + "}", 0, {}},
    {R"({"int": 1 x})", JSON_ERR_GARBAGE, {{"int", "1"}}},
    {R"({"int": 1)", JSON_ERR_GARBAGE, {{"int", "-7"}}},
    {R"({"int": 1,)", JSON_ERR_GARBAGE, {{"int", "1"}}},
    {R"({"str": "abc)", JSON_ERR_GARBAGE, {{"str", ""}}},
    {R"({"str": "abc\)", JSON_ERR_GARBAGE, {}},
    {R"({"in)", JSON_ERR_GARBAGE, {}},
    {R"({"int")", JSON_ERR_GARBAGE, {}},
    {R"({"obj": {"u": 1})", JSON_ERR_GARBAGE, {{"obj.u", "1"}}},
    {R"({"obj": {"u": 1)", JSON_ERR_GARBAGE, {{"obj.u", "4"}}},
    {R"({)", JSON_ERR_GARBAGE, kDefaults},
    {R"({"ints": [1, 2, 3, 4]})", JSON_ERR_TOO_MANY, {{"ints", "untouched"}}},
    {R"({"none": [1]})", JSON_ERR_TOO_MANY, {{"none", "untouched"}}},
    {R"({"ints": [1  , 2]})", JSON_ERR_ARRAY_GARBAGE, {}},
    {R"({"ints": [1x]})", JSON_ERR_ARRAY_GARBAGE, {}},
    {R"({"ints": [1)", JSON_ERR_ARRAY_GARBAGE, {}},
    {R"({"chars": ["a"]})", JSON_ERR_ELEMENT_TYPE, {}},
    {R"({"strs": [abc]})", JSON_ERR_STRING, {}},
    {R"({"strs": ["abcd", "efgh", "ij"]})", JSON_ERR_STRING, {}},
    {R"({"strs": ["abcd", "efgh", "i"]})", 0, {{"strs", "3:abcd,efgh,i"}}},
    {R"({"strs": ["ab)", JSON_ERR_STRING, {}},
    {R"({"str": "\u00g9"})", JSON_ERR_STRING, {}},
    {R"({"str": "\u00)", JSON_ERR_STRING, {}},
    {R"({"check": "v2"})", JSON_ERR_CHECK, {}},
    {R"({"elems": [{"chk": "no"}]})", JSON_ERR_CHECK, {}},
    {R"({"par": [{"px": 1}, {"px": 2}]})", JSON_ERR_PARALLEL_STRING, {}},
    {R"({"policy": "delete"})", JSON_ERR_ENUM, {{"policy", "0"}}},
    {R"({"policy": "PURGE"})", JSON_ERR_ENUM, {}},
    {R"({"int": "5"})", JSON_ERR_QUOTED, {{"int", "-7"}}},
    {R"({"str": "a", "ushort": "80"})", JSON_ERR_QUOTED, {{"str", "a"}}},
    {R"({"str": "", "bool": "true"})", JSON_ERR_QUOTED, {}},
    {R"({"str": abc})", JSON_ERR_UNQUOTED, {}},
    {R"({"time": 12})", JSON_ERR_UNQUOTED, {}},
    {R"({"check": v1})", JSON_ERR_UNQUOTED, {}},
    {R"({"policy": purge})", JSON_ERR_UNQUOTED, {}},
    // Numbers must be whole and fit their destination.
    {R"({"ushort": 70000})", JSON_ERR_CONVERSION, {{"ushort", "8080"}}},
    {R"({"ushort": -1})", JSON_ERR_CONVERSION, {}},
    {R"({"ushort": 9000abc})", JSON_ERR_CONVERSION, {}},
    {R"({"short": -32769})", JSON_ERR_CONVERSION, {}},
    {R"({"int": 2147483648})", JSON_ERR_CONVERSION, {}},
    {R"({"int": 99999999999999999999})", JSON_ERR_CONVERSION, {}},
    {R"({"int": 1.5})", JSON_ERR_CONVERSION, {}},
    {R"({"uint": -1})", JSON_ERR_CONVERSION, {}},
    {R"({"uint": 4294967296})", JSON_ERR_CONVERSION, {}},
    {R"({"real": 1e999})", JSON_ERR_CONVERSION, {}},
    {R"({"real": 1.5x})", JSON_ERR_CONVERSION, {}},
    {R"({"real": nan})", JSON_ERR_CONVERSION, {}},
    {R"({"policy": "negative"})", JSON_ERR_CONVERSION, {}},
    {R"({"ints": [x]})", JSON_ERR_CONVERSION, {}},
    {R"({"ints": [1,])", JSON_ERR_CONVERSION, {}},
    {R"({"uints": [-1]})", JSON_ERR_CONVERSION, {}},
    {R"({"ushorts": [70000]})", JSON_ERR_CONVERSION, {}},
    {R"({"shorts": [0x8000]})", JSON_ERR_CONVERSION, {}},
    {R"({"reals": [y]})", JSON_ERR_CONVERSION, {}},
    {R"({"obj": 1})", JSON_ERR_NO_BRACE, {}},
    {R"({"obj": "x"})", JSON_ERR_NO_BRACE, {}},
};

TEST(JsonReader, TableOfTexts) {
    for (const Case &c : kCases) {
        Reader rd;
        EXPECT_EQ(json_parse_object(c.text.c_str(), rd.attrs.data(), nullptr), c.code) << c.text;
        for (const auto &[field, value] : c.expect)
            EXPECT_EQ(rd.show(field), value) << c.text << " field " << field;
    }
}

TEST(JsonReader, EndPositions) {
    const struct {
        const char *text;
        int code;
        long end; // offset into text, -1 for NULL
    } cases[] = {
        {"{\"int\": 1}  \n tail", 0, 14},
        {"  {\"obj\": {\"u\": 1}  , \"int\": 2}", 0, 31},
        {"", 0, 0},
        {"   ", 0, 3},
        {"  x", JSON_ERR_NO_OBJECT, 2},
        {"{\"int\": 1, 7}", JSON_ERR_NO_ATTR, 11},
        {"{\"int\": 1 ;}", JSON_ERR_GARBAGE, 10},
        {"{\"int\": 1", JSON_ERR_GARBAGE, 9},
        {"{\"int\": [1]}", JSON_ERR_UNEXPECTED_ARRAY, 8},
        {"{\"ints\": 1}", JSON_ERR_NO_BRACKET, 9},
        {"{\"obj\": 1}", JSON_ERR_NO_BRACE, 8},
        // Failures without a position of their own leave the last one stored: here the
        // opening quote of the attribute name.
        {"{\"int\": 1, \"nope\": 1}", JSON_ERR_UNKNOWN_ATTR, 11},
        {"{\"ints\": [1, 2, 3, 4]}", JSON_ERR_TOO_MANY, 18},
        {"{\"none\": [ 1]}", JSON_ERR_TOO_MANY, 11},
        {"x", JSON_ERR_NO_OBJECT, 0},
    };
    for (const auto &c : cases) {
        Reader rd;
        const char *end = reinterpret_cast<const char *>(1);
        EXPECT_EQ(json_parse_object(c.text, rd.attrs.data(), &end), c.code) << c.text;
        EXPECT_EQ(end == nullptr ? -1 : end - c.text, c.end) << c.text;
    }
}

TEST(JsonReader, EndStaysNullWhenNothingWasPositioned) {
    Reader rd;
    const char *end = reinterpret_cast<const char *>(1);
    // Defaults of a parallel-array element other than the first fail before any reading.
    json_array *par = rd.array("par");
    EXPECT_EQ(json_parse_object_into("{}", rd.parallel.data(), par, 1, &end),
              JSON_ERR_PARALLEL_STRING);
    EXPECT_EQ(end, nullptr);
}

TEST(JsonReader, StandaloneArrays) {
    int32_t v[2] = {0, 0};
    int32_t n = -1;
    json_array ints = {.type = JT_INTEGER, .arr = {.elements = v}, .count = &n, .maxlen = 2};
    const char *end = nullptr;
    const char text[] = " [ 3 ,4 ] rest";
    EXPECT_EQ(json_parse_array(text, &ints, &end), 0);
    EXPECT_EQ(end - text, 8);
    EXPECT_EQ(n, 2);
    EXPECT_EQ(v[0], 3);
    EXPECT_EQ(v[1], 4);

    EXPECT_EQ(json_parse_array("{1}", &ints, nullptr), JSON_ERR_NO_ARRAY);
    EXPECT_EQ(json_parse_array("", &ints, nullptr), JSON_ERR_NO_ARRAY);
    EXPECT_EQ(json_parse_array("[1,2,", &ints, &end), JSON_ERR_TOO_MANY);

    // A descriptor without its element store is refused instead of written through.
    json_array nowhere = {.type = JT_INTEGER, .arr = {.elements = nullptr}, .maxlen = 2};
    EXPECT_EQ(json_parse_array("[1]", &nowhere, nullptr), JSON_ERR_NULL);
    json_array no_store = {
        .type = JT_STRING, .arr = {.strings = {nullptr, nullptr, 0}}, .maxlen = 2};
    EXPECT_EQ(json_parse_array("[\"a\"]", &no_store, nullptr), JSON_ERR_NULL);

    // An empty string store accepts no text, not even an empty one.
    char *ptrs[1];
    char store[1];
    json_array tiny = {.type = JT_STRING, .arr = {.strings = {ptrs, store, 1}}, .maxlen = 1};
    EXPECT_EQ(json_parse_array("[\"\"]", &tiny, nullptr), 0);
    EXPECT_EQ(json_parse_array("[\"a\"]", &tiny, nullptr), JSON_ERR_STRING);
    json_array none = {.type = JT_STRING, .arr = {.strings = {ptrs, store, 0}}, .maxlen = 1};
    EXPECT_EQ(json_parse_array("[\"\"]", &none, nullptr), JSON_ERR_STRING);
}

TEST(JsonReader, NullTablesAndTexts) {
    Reader rd;
    EXPECT_EQ(json_parse_object(nullptr, rd.attrs.data(), nullptr), JSON_ERR_NULL);
    EXPECT_EQ(json_parse_object("{}", nullptr, nullptr), JSON_ERR_NULL);
    EXPECT_EQ(json_parse_array(nullptr, rd.array("ints"), nullptr), JSON_ERR_NULL);
    // A structure array without a base reads its elements and drops every value.
    json_array loose = *rd.array("elems");
    loose.arr.structs.base = nullptr;
    EXPECT_EQ(json_parse_array("[{\"a\": 1, \"name\": \"x\"}]", &loose, nullptr), 0);
}

TEST(JsonReader, StringBufferSizes) {
    const struct {
        size_t len;
        const char *text;
        int code;
        const char *stored;
    } cases[] = {
        {1, R"({"s": ""})", 0, ""},
        {1, R"({"s": "a"})", JSON_ERR_STRING_LONG, ""},
        {0, R"({"s": ""})", JSON_ERR_STRING_LONG, "#"},
        {600, R"({"s": "abc"})", 0, "abc"},
    };
    for (const auto &c : cases) {
        char buf[600];
        memset(buf, '#', sizeof buf);
        buf[1] = '\0';
        const json_attr attrs[] = {
            {.name = "s", .type = JT_STRING, .target = {.ptr = buf}, .len = c.len},
            {},
        };
        EXPECT_EQ(json_parse_object(c.text, attrs, nullptr), c.code) << c.len << c.text;
        EXPECT_STREQ(buf, c.stored) << c.len << c.text;
    }
}

TEST(JsonReader, ErrorTexts) {
    const char *const texts[] = {
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
    for (int code = 0; code <= 23; code++)
        EXPECT_STREQ(json_error_text(code), texts[code]) << code;
    for (int code : {-1, 24, 1000})
        EXPECT_STREQ(json_error_text(code), texts[0]) << code;
}

} // namespace
