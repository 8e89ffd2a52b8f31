#include "platform/shell_open.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>

extern char** environ;

void open_url(const std::string& url) {
    // A short-lived shell puts xdg-open in the background and ends, so xdg-open (which may wait for the browser)
    // is adopted by init and this process only reaps the shell.
    const char* script = "xdg-open \"$1\" </dev/null >/dev/null 2>&1 &";
    char* const argv[] = {const_cast<char*>("sh"), const_cast<char*>("-c"), const_cast<char*>(script),
                          const_cast<char*>("sh"), const_cast<char*>(url.c_str()), nullptr};
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, "/bin/sh", &actions, &attr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) return;
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
}
