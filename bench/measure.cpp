// Runs a command and reports its wall time, CPU time and peak resident set,
// for bench/whole-run. The command is forked from this small program rather
// than from the Python driver, because a child's ru_maxrss starts from the
// resident set of the process it was forked from.
//
//   trevalon-bench-measure OUT.json COMMAND [ARG...]
//
// Writes {"status", "wall_s", "cpu_s", "rss_kib"} to OUT.json; CPU time is
// user + system from wait4, which includes the children the command waited for.

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fputs("usage: trevalon-bench-measure OUT.json COMMAND [ARG...]\n", stderr);
        return 2;
    }
    auto start = std::chrono::steady_clock::now();
    pid_t child = fork();
    if (child < 0) {
        std::perror("fork");
        return 2;
    }
    if (child == 0) {
        execvp(argv[2], argv + 2);
        std::perror(argv[2]);
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (wait4(child, &status, 0, &usage) != child) {
        std::perror("wait4");
        return 2;
    }
    std::chrono::duration<double> wall = std::chrono::steady_clock::now() - start;
    double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                 static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    std::FILE* out = std::fopen(argv[1], "w");
    if (out == nullptr) {
        std::perror(argv[1]);
        return 2;
    }
    std::fprintf(out, "{\"status\": %d, \"wall_s\": %.6f, \"cpu_s\": %.6f, \"rss_kib\": %ld}\n",
                 code, wall.count(), cpu, usage.ru_maxrss);
    return std::fclose(out) == 0 ? 0 : 2;
}
