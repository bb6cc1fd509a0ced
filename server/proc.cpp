#include "server/proc.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "lib/log.h"

void proc_set_title(int argc, char **argv, const char *name) {
    if (argc < 1 || argv == nullptr || argv[0] == nullptr)
        return;
    char *start = argv[0];
    // `end` is the terminating zero of the last argument found adjacent to the area; an
    // argument stored elsewhere is passed over and the search goes on from the same end.
    char *end = start + strlen(start);
    for (int i = 1; i < argc; i++) {
        if (argv[i] != nullptr && argv[i] == end + 1)
            end = argv[i] + strlen(argv[i]);
    }
    for (int i = 1; i < argc; i++)
        argv[i] = end;
    size_t room = static_cast<size_t>(end - start);
    size_t n = strnlen(name, room);
    memcpy(start, name, n);
    memset(start + n, 0, room - n + 1);
}

// Standard input and output of a child go nowhere; standard error stays on the log file.
static void proc_null_stdio() {
    int fd = open("/dev/null", O_RDWR);
    if (fd < 0) {
        LOG_SYSERR_PATH("open", "/dev/null");
        return;
    }
    if (dup2(fd, STDIN_FILENO) < 0 || dup2(fd, STDOUT_FILENO) < 0)
        LOG_SYSERR("dup2");
    if (fd > STDOUT_FILENO)
        close(fd);
}

int proc_spawn(proc_desc *desc, void *arg, int argc, char **argv) {
    pid_t pid = fork();
    desc->pid = pid;
    if (pid < 0) {
        int e = errno;
        LOG_FATAL("Unable to spawn a new process. %s.", strerror(e));
        return -1;
    }
    if (pid == 0) {
        proc_null_stdio();
        if (argv != nullptr)
            proc_set_title(argc, argv, desc->name);
        int32_t rc = desc->entry(arg);
        _exit(rc == 0 ? 0 : 1);
    }
    LOG_INFO("Process [%s=%d] created successfully.", desc->name, pid);
    desc->spawn_count++;
    desc->started = time(nullptr);
    return 0;
}
