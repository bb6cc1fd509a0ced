// The plugin command run as a process on environments made by init, and the executable's
// dynamic symbol table that plugins link against.
#include <gtest/gtest.h>

#include <cstring>
#include <dirent.h>
#include <dlfcn.h>
#include <elf.h>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "support/test_support.h"

namespace {

std::string plugin_lib(const std::string &variant) {
    return std::string(KRV_TEST_PLUGIN_DIR) + "/" + variant + ".so";
}

std::string red(const std::string &text) {
    return "\033[91m" + text + "\033[0m\n";
}

std::string green(const std::string &text) {
    return "\033[92m" + text + "\033[0m\n";
}

const std::string kLib = plugin_lib("accept");
const std::string kManagerOnly = red("Plugins are supported only on Manager.");
const std::string kMissingName = red("Missing --name option!");

bool exists(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// "@ENV" and "@TMP" in a word stand for the environment and the temporary directory.
std::string expand(std::string word, const std::string &env, const std::string &tmp) {
    for (const auto &[mark, value] : {std::pair<std::string, std::string>{"@ENV", env},
                                      std::pair<std::string, std::string>{"@TMP", tmp}})
        for (size_t at; (at = word.find(mark)) != std::string::npos;)
            word.replace(at, mark.size(), value);
    return word;
}

// A fresh environment of one mode, made by init in a temporary directory that is also the
// working directory of the commands.
struct PluginEnv {
    TempDir dir;
    std::string env = dir.sub("env");

    explicit PluginEnv(const std::string &mode) {
        RunResult r = run_korvane({"init", "--mode=" + mode, env});
        EXPECT_EQ(r.exit_code, 0) << r.out;
    }
    // Installs the accepting plugin as "plugins/<name>" the way add leaves it.
    void put_plugin(const std::string &name) const {
        const std::string pdir = env + "/plugins/" + name;
        ASSERT_EQ(mkdir(pdir.c_str(), 0700), 0);
        write_file(pdir + "/plg-accept.so", read_file(kLib));
    }
    std::string expand(const std::string &word) const { return ::expand(word, env, dir.path()); }
    RunResult run(const std::vector<std::string> &words, const char *input = nullptr) const {
        std::vector<std::string> args;
        for (const std::string &w : words)
            args.push_back(expand(w));
        return input ? run_korvane_input(args, input, dir.path()) : run_korvane(args, dir.path());
    }
};

// What a case leaves below the environment: a directory of mode 0700 ("" content), or a
// file with the bytes of a test plugin ("lib:<variant>") or of a literal text.
struct Expected {
    std::string path;
    std::string content;
};

struct AddCase {
    const char *what;
    const char *mode;
    std::vector<std::string> args;
    std::string out;
    int status;
    std::vector<Expected> present;
    std::vector<std::string> absent; // below the environment
    std::function<void(const std::string &env, const std::string &tmp)> setup = nullptr;
};

void expect_present(const std::string &env, const Expected &e) {
    const std::string path = env + "/" + e.path;
    if (e.content.empty()) {
        struct stat st;
        ASSERT_EQ(lstat(path.c_str(), &st), 0) << e.path;
        EXPECT_TRUE(S_ISDIR(st.st_mode)) << e.path;
        EXPECT_EQ(st.st_mode & 07777, 0700u) << e.path;
        return;
    }
    struct stat st;
    ASSERT_EQ(lstat(path.c_str(), &st), 0) << e.path;
    EXPECT_TRUE(S_ISREG(st.st_mode)) << e.path;
    const std::string want =
        e.content.rfind("lib:", 0) == 0 ? read_file(plugin_lib(e.content.substr(4))) : e.content;
    EXPECT_EQ(read_file(path), want) << e.path;
}

std::vector<std::string> entries(const std::string &dir) {
    std::vector<std::string> names;
    if (DIR *d = opendir(dir.c_str())) {
        while (struct dirent *de = readdir(d))
            if (std::string(de->d_name) != "." && std::string(de->d_name) != "..")
                names.emplace_back(de->d_name);
        closedir(d);
    }
    return names;
}

TEST(PluginCommand, AddChecksItsArgumentsAndInstallsThePlugin) {
    const std::string name64(64, 'a'), name65(65, 'a');
    const std::string undefined = plugin_lib("undefined"), noinit = plugin_lib("noinit");
    const AddCase cases[] = {
        {"no action", "manager", {"plugin"}, red("Too few arguments!"), 1, {}, {}},
        {"an unknown action: the name before the action word",
         "manager",
         {"plugin", "--name=p", "add", "--lib=" + kLib, "@ENV"},
         red("Invalid plugin action specified: --name=p"),
         1,
         {},
         {"plugins/p"}},
        {"Database only, refused before the library is looked at",
         "database",
         {"plugin", "add", "--name=p", "--lib=relative.so", "@ENV"},
         kManagerOnly,
         1,
         {},
         {"plugins/p"}},
        {"missing name",
         "manager",
         {"plugin", "add", "--lib", kLib, "@ENV"},
         kMissingName,
         1,
         {},
         {}},
        {"empty name counts as missing",
         "manager",
         {"plugin", "add", "--name=", "--lib", kLib, "@ENV"},
         kMissingName,
         1,
         {},
         {}},
        {"missing lib",
         "manager",
         {"plugin", "add", "--name=p", "@ENV"},
         red("Missing --lib option!"),
         1,
         {},
         {"plugins/p"}},
        {"65 letters",
         "manager",
         {"plugin", "add", "--name=" + name65, "--lib=" + kLib, "@ENV"},
         red("Plugin name too long!"),
         1,
         {},
         {"plugins/" + name65}},
        {"64 letters and digits",
         "manager",
         {"plugin", "add", "--name=" + name64.substr(2) + "42", "--lib=" + kLib, "@ENV"},
         green("Plugin \"" + name64.substr(2) + "42\" added successfully."),
         0,
         {{"plugins/" + name64.substr(2) + "42", ""},
          {"plugins/" + name64.substr(2) + "42/plg-accept.so", "lib:accept"}},
         {}},
        {"a hyphen",
         "manager",
         {"plugin", "add", "--name=my-auth", "--lib=" + kLib, "@ENV"},
         red("Invalid char [-] in the plugin name: my-auth"),
         1,
         {},
         {"plugins/my-auth"}},
        {"a relative library",
         "manager",
         {"plugin", "add", "--name=p", "--lib=plugins/accept.so", "@ENV"},
         red("Library must be specified with its absolute path."),
         1,
         {},
         {"plugins/p"}},
        {"a link to the library",
         "manager",
         {"plugin", "add", "--name=p", "--lib=@TMP/link.so", "@ENV"},
         red("Plugin library must be a regular file."),
         1,
         {},
         {"plugins/p"},
         [](const std::string &, const std::string &tmp) {
             ASSERT_EQ(symlink(kLib.c_str(), (tmp + "/link.so").c_str()), 0);
         }},
        {"a missing library",
         "manager",
         {"plugin", "add", "--name=p", "--lib=@TMP/missing.so", "@ENV"},
         red("Cannot open the plugin library \"@TMP/missing.so\": No such file or directory"),
         1,
         {},
         {"plugins/p"}},
        {"no plugin_init",
         "manager",
         {"plugin", "add", "--name=p", "--lib=" + noinit, "@ENV"},
         red("Not a valid plugin library: " + noinit + ": undefined symbol: plugin_init"),
         1,
         {},
         {"plugins/p"}},
        {"a library the loader refuses",
         "manager",
         {"plugin", "add", "--name=p", "--lib=" + undefined, "@ENV"},
         red("Unable to validate the plugin: " + undefined +
             ": undefined symbol: krv_plugin_missing"),
         1,
         {},
         {"plugins/p"}},
        {"an existing plugin",
         "manager",
         {"plugin", "add", "--name=p", "--lib=" + kLib, "@ENV"},
         red("Plugin p already exists!"),
         1,
         {{"plugins/p", ""}},
         {"plugins/p/plg-accept.so"},
         [](const std::string &env, const std::string &) {
             ASSERT_EQ(mkdir((env + "/plugins/p").c_str(), 0700), 0);
         }},
        {"with an absolute configuration path",
         "manager",
         {"plugin", "add", "@ENV", "--conf", "@TMP/auth.json", "--name", "auth1", "--lib", kLib},
         green("Plugin \"auth1\" added successfully."),
         0,
         {{"plugins/auth1", ""},
          {"plugins/auth1/plg-accept.so", "lib:accept"},
          {"plugins/auth1/cfg-auth.json", "{\"realm\": 1}\n"}},
         {},
         [](const std::string &, const std::string &tmp) {
             write_file(tmp + "/auth.json", "{\"realm\": 1}\n");
         }},
        {"a Standalone environment, options after the directory",
         "standalone",
         {"plugin", "ADD", "@ENV", "--name=p", "--lib=" + kLib},
         green("Plugin \"p\" added successfully."),
         0,
         {{"plugins/p", ""}, {"plugins/p/plg-accept.so", "lib:accept"}},
         {}},
        // The copy fails after the directory was made: the directory goes again.
        {"a configuration that cannot be copied",
         "manager",
         {"plugin", "add", "--name=p", "--lib=" + kLib, "--conf=@TMP/missing.json", "@ENV"},
         red("Cannot copy \"@TMP/missing.json\" into the plugin directory."),
         1,
         {{"plugins", ""}},
         {"plugins/p"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        PluginEnv e(c.mode);
        if (c.setup)
            c.setup(e.env, e.dir.path());
        RunResult r = e.run(c.args);
        EXPECT_EQ(r.out, e.expand(c.out));
        EXPECT_EQ(r.exit_code, c.status);
        EXPECT_EQ(r.err, "");
        for (const Expected &p : c.present)
            expect_present(e.env, p);
        for (const std::string &a : c.absent)
            EXPECT_FALSE(exists(e.env + "/" + a)) << a;
    }
}

struct RmCase {
    const char *what;
    std::vector<std::string> args;
    const char *input;
    std::string out;
    int status;
    bool asked;
    bool kept; // the directory of the plugin "p" is still there
    std::function<void(const PluginEnv &e)> setup = nullptr;
};

const std::string kQuestion = "\033[91m Do you want to delete plugin \"p\"? [y/n] (n): \033[0m";

TEST(PluginCommand, RmAsksAndRemovesOnlyInsideThePluginsDirectory) {
    const std::vector<std::string> rm_p{"plugin", "rm", "--name=p", "@ENV"};
    const std::string deleted = green("Plugin \"p\" deleted successfully.");
    const RmCase cases[] = {
        {"Enter keeps it", rm_p, "\n", "", 0, true, true},
        {"n keeps it", rm_p, "n\n", "", 0, true, true},
        {"x keeps it", rm_p, "x\n", "", 0, true, true},
        {"Y is not y", rm_p, "Y\n", "", 0, true, true},
        {"end of input keeps it", rm_p, "", "", 0, true, true},
        {"y removes it", rm_p, "y\n", deleted, 0, true, false},
        {"yes removes it",
         {"plugin", "RM", "@ENV", "--name", "p"},
         "yes\n",
         deleted,
         0,
         true,
         false},
        {"an unknown name",
         {"plugin", "rm", "--name=q", "@ENV"},
         "y\n",
         red("No such plugin \"q\""),
         1,
         false,
         true},
        // The tree removal keeps hidden entries; the plugin is not reported gone.
        {"a hidden file inside", rm_p, "y\n", red("Error: Directory not empty"), 1, true, true,
         [](const PluginEnv &e) { write_file(e.env + "/plugins/p/.keep", "x"); }},
        {"the parent directory",
         {"plugin", "rm", "--name=..", "@ENV"},
         "y\n",
         red("Invalid char [.] in the plugin name: .."),
         1,
         false,
         true},
        {"an empty name", {"plugin", "rm", "--name=", "@ENV"}, "y\n", kMissingName, 1, false, true},
        {"no name", {"plugin", "rm", "@ENV"}, "y\n", kMissingName, 1, false, true},
        {"a path",
         {"plugin", "rm", "--name=p/plg-accept.so", "@ENV"},
         "y\n",
         red("Invalid char [/] in the plugin name: p/plg-accept.so"),
         1,
         false,
         true},
        {"a/b",
         {"plugin", "rm", "--name=a/b", "@ENV"},
         "y\n",
         red("Invalid char [/] in the plugin name: a/b"),
         1,
         false,
         true,
         [](const PluginEnv &e) {
             ASSERT_EQ(mkdir((e.env + "/plugins/a").c_str(), 0700), 0);
             ASSERT_EQ(mkdir((e.env + "/plugins/a/b").c_str(), 0700), 0);
         }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        PluginEnv e("manager");
        e.put_plugin("p");
        if (c.setup)
            c.setup(e);
        RunResult r = e.run(c.args, c.input);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.exit_code, c.status);
        EXPECT_EQ(r.err, c.asked ? kQuestion : "");
        EXPECT_EQ(exists(e.env + "/plugins/p"), c.kept);
        if (c.kept && c.setup == nullptr) {
            EXPECT_EQ(read_file(e.env + "/plugins/p/plg-accept.so"), read_file(kLib));
        }
        // Nothing outside the plugin named is ever touched.
        EXPECT_TRUE(exists(e.env + "/storage.mgr/storage"));
        EXPECT_TRUE(exists(e.env + "/conf/config.json"));
        EXPECT_TRUE(exists(e.env + "/plugins"));
    }
}

// A plugin entry that is a link goes itself; what it points at stays.
TEST(PluginCommand, RmRemovesALinkNotItsTarget) {
    PluginEnv e("standalone");
    const std::string outside = e.dir.sub("outside");
    ASSERT_EQ(mkdir(outside.c_str(), 0700), 0);
    write_file(outside + "/plg-accept.so", "x");
    ASSERT_EQ(symlink(outside.c_str(), (e.env + "/plugins/p").c_str()), 0);
    RunResult r = e.run({"plugin", "rm", "--name=p", "@ENV"}, "y\n");
    EXPECT_EQ(r.out, green("Plugin \"p\" deleted successfully."));
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_FALSE(exists(e.env + "/plugins/p"));
    EXPECT_EQ(read_file(outside + "/plg-accept.so"), "x");
}

TEST(PluginCommand, RmOnADatabaseIsRefused) {
    PluginEnv e("database");
    e.put_plugin("p");
    RunResult r = e.run({"plugin", "rm", "--name=p", "@ENV"}, "y\n");
    EXPECT_EQ(r.out, kManagerOnly);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(exists(e.env + "/plugins/p/plg-accept.so"));
}

TEST(PluginCommand, ListPrintsTheEntriesInDirectoryOrder) {
    PluginEnv e("manager");
    // An empty directory prints nothing.
    RunResult r = e.run({"plugin", "list", "@ENV"});
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.exit_code, 0);

    e.put_plugin("beta");
    e.put_plugin("alpha");
    write_file(e.env + "/plugins/.hidden", "x");
    std::string want;
    for (const std::string &name : entries(e.env + "/plugins"))
        if (name[0] != '.')
            want += green("Plugin: " + name);
    r = e.run({"plugin", "LIST", "@ENV"});
    EXPECT_EQ(r.out, want);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(count_of(r.out, "Plugin: "), 2u);
}

// A plugins directory that cannot be read is an error, not an empty list.
TEST(PluginCommand, ListOfAnUnreadableDirectoryFails) {
    PluginEnv e("manager");
    ASSERT_EQ(rmdir((e.env + "/plugins").c_str()), 0);
    write_file(e.env + "/plugins", "x");
    RunResult r = e.run({"plugin", "list", "--verbose", "@ENV"});
    EXPECT_EQ(r.out, red("Error: Not a directory"));
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(read_file(e.dir.sub("out.log"))
                  .find("ERROR  Cannot access plugins repository: Not a directory\n"),
              std::string::npos);

    PluginEnv db("database");
    r = db.run({"plugin", "list", "@ENV"});
    EXPECT_EQ(r.out, kManagerOnly);
    EXPECT_EQ(r.exit_code, 1);
}

// The names the executable defines in its dynamic symbol table, and the libraries it needs.
struct DynamicTable {
    std::vector<std::pair<std::string, unsigned>> defined; // name, ELF64_ST_TYPE
    std::vector<std::string> needed;
};

DynamicTable read_dynamic_table(const std::string &path) {
    const std::string image = read_file(path);
    DynamicTable t;
    const auto *eh = reinterpret_cast<const Elf64_Ehdr *>(image.data());
    if (image.size() < sizeof *eh || memcmp(eh->e_ident, ELFMAG, SELFMAG) != 0 ||
        eh->e_ident[EI_CLASS] != ELFCLASS64 ||
        eh->e_shoff + eh->e_shnum * sizeof(Elf64_Shdr) > image.size())
        return t;
    const auto *sh = reinterpret_cast<const Elf64_Shdr *>(image.data() + eh->e_shoff);
    auto text_at = [&](const Elf64_Shdr &strtab, uint64_t off) {
        return std::string(image.data() + strtab.sh_offset + off);
    };
    for (unsigned i = 0; i < eh->e_shnum; i++) {
        const Elf64_Shdr &s = sh[i];
        const Elf64_Shdr &strtab = sh[s.sh_link];
        if (s.sh_type == SHT_DYNSYM) {
            const auto *sym = reinterpret_cast<const Elf64_Sym *>(image.data() + s.sh_offset);
            for (size_t k = 1; k < s.sh_size / sizeof(Elf64_Sym); k++)
                if (sym[k].st_shndx != SHN_UNDEF)
                    t.defined.emplace_back(text_at(strtab, sym[k].st_name),
                                           ELF64_ST_TYPE(sym[k].st_info));
        } else if (s.sh_type == SHT_DYNAMIC) {
            const auto *dyn = reinterpret_cast<const Elf64_Dyn *>(image.data() + s.sh_offset);
            for (size_t k = 0; k < s.sh_size / sizeof(Elf64_Dyn) && dyn[k].d_tag != DT_NULL; k++)
                if (dyn[k].d_tag == DT_NEEDED)
                    t.needed.push_back(text_at(strtab, dyn[k].d_un.d_val));
        }
    }
    return t;
}

// Plugins link against the registration call, and against nothing else of ours: every other
// name the table defines is a library's own (a copy of library data, or a library template
// the executable instantiated), found in one of the libraries the executable needs.
TEST(PluginExports, TheExecutableExportsOnlyTheRegistrationCall) {
    const DynamicTable t = read_dynamic_table(KRV_BINARY);
    ASSERT_FALSE(t.needed.empty());
    std::vector<void *> libs;
    for (const std::string &so : t.needed) {
        void *h = dlopen(so.c_str(), RTLD_LAZY | RTLD_NOLOAD);
        if (h == nullptr)
            h = dlopen(so.c_str(), RTLD_LAZY);
        ASSERT_NE(h, nullptr) << so;
        libs.push_back(h);
    }
    bool registration = false;
    for (const auto &[name, type] : t.defined) {
        if (name == "plugin_register_auth") {
            registration = type == STT_FUNC;
            continue;
        }
        bool from_library = false;
        for (void *h : libs)
            from_library = from_library || dlsym(h, name.c_str()) != nullptr;
        EXPECT_TRUE(from_library) << name;
    }
    EXPECT_TRUE(registration);
}

} // namespace
