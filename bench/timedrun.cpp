// Runs a command and writes its wall time, peak RSS and exit status to a file,
// like /usr/bin/time -f '%e %M %x' (which not every machine has). Being small,
// it adds almost nothing to the child's peak RSS, which on Linux includes the
// memory of the process that forked it up to the exec.
//
//   timedrun RESULT_FILE COMMAND [ARGUMENT...]
//
// RESULT_FILE receives one line: wall seconds, CPU seconds (user + system),
// peak RSS in KiB, exit status (128 + signal number when the command was
// killed). The exit status is passed on.

#include <chrono>
#include <cstdio>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s RESULT_FILE COMMAND [ARGUMENT...]\n", argv[0]);
        return 64;
    }
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = fork();
    if (child == 0) {
        execvp(argv[2], argv + 2);
        std::perror(argv[2]);
        _exit(127);
    }
    int status = 0;
    rusage usage {};
    if (child < 0 || wait4(child, &status, 0, &usage) < 0) {
        std::perror("timedrun");
        return 70;
    }
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    std::FILE *result = std::fopen(argv[1], "w");
    if (!result)
        return 70;
    const double cpu = usage.ru_utime.tv_sec + usage.ru_stime.tv_sec
        + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    std::fprintf(result, "%.6f %.6f %ld %d\n", elapsed.count(), cpu, usage.ru_maxrss, code);
    std::fclose(result);
    return code;
}
