// A Database environment laid out from scratch: directories, an empty store and a
// configuration whose service listens on 127.0.0.1. Free of the test framework, so that load
// drivers share it.
#pragma once

#include <fstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "database/store/dbs.h"

// Lays out the environment at `env`, its service on 127.0.0.1:port. The store's paths are
// relative to the environment, so a child process creates it from inside. False on failure.
inline bool make_database_env(const std::string &env, unsigned port) {
    for (const char *d : {"", "/conf", "/logs", "/var", "/plugins"})
        mkdir((env + d).c_str(), 0700);
    const pid_t pid = fork();
    if (pid == 0)
        _exit(chdir(env.c_str()) == 0 && storage_create_db() == 0 ? 0 : 1);
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0)
        return false;
    std::ofstream config(env + "/conf/config.json");
    config << "{\"manager\": {\"host\": \"127.0.0.1\", \"port\": 1},"
              " \"server\": {\"host\": \"127.0.0.1\", \"port\": "
           << port
           << "},"
              " \"redirect\": {\"host\": \"127.0.0.1\", \"port\": 1},"
              " \"archive\": {\"enable\": false, \"policy\": \"archive\"}}";
    config.close();
    return config.good();
}
