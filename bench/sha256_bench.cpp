// Throughput of the installer's file digest beside OpenSSL and coreutils on the
// same file in the same run, and the peak memory of a download plus digest for
// a small and a large installer. It prints figures; it asserts nothing and is
// never part of the tests.
//
//   trevalon-bench-sha256 [--size-mib N] [--rounds R] [--dir DIR]
//
// The digest file (default 1024 MiB) is written to a fresh folder under DIR
// ($TMPDIR or /tmp by default) and hashed R times (default 3) by each of:
// sha256_file_hex with the SHA extensions, sha256_file_hex with the portable
// compression, `openssl dgst -sha256`, `sha256sum`; the rounds interleave the
// four and the best time of each counts. The file is in the page cache, so
// the figures are those of the digest, not of the disk. The external tools
// are timed from spawn to exit; the program's own digest is timed in process.
//
// The memory check runs this program again as a child for each size, which
// calls download_from_node over a generated transport (a 200 answer with a
// Content-Length and a body made on the fly from a 64 KiB pattern, see
// generated_client.cpp) into a file in the folder and then sha256_file_hex of
// that file; the peak resident set of the child (ru_maxrss from wait4) is
// printed for a 1 MiB and for the full-size installer.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "generated_client.hpp"
#include "install/install.hpp"
#include "install/sha256.hpp"
#include "net/transport.hpp"
#include "records.hpp"

extern char** environ;

namespace {

constexpr double MIB = 1048576.0;

double now_seconds() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

bool write_test_file(const std::string& path, uint64_t bytes) {
    static uint8_t chunk[1 << 20];
    uint64_t x = 0x243f6a8885a308d3ull;
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return false;
    bool ok = true;
    for (uint64_t done = 0; ok && done < bytes;) {
        for (size_t i = 0; i < sizeof chunk; i += 8) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            std::memcpy(chunk + i, &x, 8);
        }
        size_t n = bytes - done < sizeof chunk ? static_cast<size_t>(bytes - done) : sizeof chunk;
        ok = std::fwrite(chunk, 1, n, file) == n;
        done += n;
    }
    return std::fclose(file) == 0 && ok;
}

// Runs a tool with its standard output captured; gives the wall time from
// spawn to exit, or a negative number when it could not run or failed.
double run_tool(const char* const argv[], std::string& output) {
    int out_pipe[2];
    if (pipe(out_pipe) != 0) return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out_pipe[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out_pipe[0]);
    pid_t pid;
    double start = now_seconds();
    int rc =
        posix_spawnp(&pid, argv[0], &actions, nullptr, const_cast<char* const*>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out_pipe[1]);
    output.clear();
    char buffer[4096];
    ssize_t n;
    while (rc == 0 && (n = read(out_pipe[0], buffer, sizeof buffer)) > 0)
        output.append(buffer, n);
    close(out_pipe[0]);
    if (rc != 0) return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    double elapsed = now_seconds() - start;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? elapsed : -1;
}

// The first run of 64 hexadecimal digits in the text, in lower case.
std::string find_digest(const std::string& text) {
    size_t run = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        run = std::isxdigit(static_cast<unsigned char>(text[i])) ? run + 1 : 0;
        if (run == 64) {
            std::string hex = text.substr(i - 63, 64);
            for (char& c : hex)
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            return hex;
        }
    }
    return "";
}

struct Contender {
    explicit Contender(const char* text) : name(text) {}
    const char* name;
    double best = -1;
    std::string digest;
    bool available = true;
};

int memory_child(uint64_t bytes, const char* dir) {
    generated_body_size(bytes);
    ReleaseRecord release{};
    release.size = bytes;
    std::snprintf(release.file_name, sizeof release.file_name, "%s",
                  "trevalon-bench-installer.exe");
    MirrorNode node{};
    std::snprintf(node.url, sizeof node.url, "%s",
                  "https://bench.invalid/trevalon-bench-installer.exe");
    node.label = NODE_LABELS[0];
    char path[INSTALLER_PATH_SIZE];
    std::snprintf(path, sizeof path, "%s/%s", dir, release.file_name);

    NetSession* session = open_session();
    apply_timeouts(session, DOWNLOAD_PROFILE);
    bool downloaded = download_from_node(session, node, release, path);
    char hex[SHA256_HEX_SIZE] = "";
    if (downloaded) sha256_file_hex(path, hex);
    close_handle(session);
    struct stat st;
    bool complete = stat(path, &st) == 0 && static_cast<uint64_t>(st.st_size) == bytes;
    unlink(path);
    if (downloaded && complete && std::strlen(hex) == 64) return 0;
    std::fprintf(stderr, "memory check: the %llu-byte download or its digest failed\n",
                 static_cast<unsigned long long>(bytes));
    return 1;
}

// Peak resident set in KiB of one memory child, or -1 when it failed.
long measure_peak_kib(uint64_t bytes, const std::string& dir) {
    char size_text[32];
    std::snprintf(size_text, sizeof size_text, "%llu", static_cast<unsigned long long>(bytes));
    const char* argv[] = {"/proc/self/exe", "--memory-child", size_text, dir.c_str(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid;
    int rc = posix_spawn(&pid, argv[0], &actions, nullptr, const_cast<char* const*>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return -1;
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? usage.ru_maxrss : -1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--memory-child") == 0)
        return memory_child(std::strtoull(argv[2], nullptr, 10), argv[3]);

    uint64_t size_mib = 1024;
    int rounds = 3;
    const char* tmp = std::getenv("TMPDIR");
    std::string base = tmp != nullptr && *tmp ? tmp : "/tmp";
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--size-mib") == 0)
            size_mib = std::strtoull(argv[i + 1], nullptr, 10);
        else if (std::strcmp(argv[i], "--rounds") == 0)
            rounds = std::atoi(argv[i + 1]);
        else if (std::strcmp(argv[i], "--dir") == 0)
            base = argv[i + 1];
    }
    if (size_mib == 0 || rounds < 1) {
        std::fprintf(stderr, "usage: %s [--size-mib N] [--rounds R] [--dir DIR]\n", argv[0]);
        return 2;
    }
    const uint64_t bytes = size_mib << 20;

    std::string dir = base + "/trevalon-bench-XXXXXX";
    if (mkdtemp(dir.data()) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string file = dir + "/digest-input.bin";
    std::printf("Writing %llu MiB to %s ...\n", static_cast<unsigned long long>(size_mib),
                file.c_str());
    std::fflush(stdout);
    if (!write_test_file(file, bytes)) {
        std::fprintf(stderr, "cannot write %s\n", file.c_str());
        rmdir(dir.c_str());
        return 1;
    }

    Contender sha_ni{"sha256_file_hex, SHA extensions"};
    Contender portable{"sha256_file_hex, portable"};
    Contender openssl{"openssl dgst -sha256"};
    Contender coreutils{"sha256sum"};
    sha_ni.available = sha256_cpu_has_sha_ni();

    const char* openssl_argv[] = {"openssl", "dgst", "-sha256", file.c_str(), nullptr};
    const char* coreutils_argv[] = {"sha256sum", file.c_str(), nullptr};
    for (int round = 0; round < rounds; ++round) {
        for (Contender* own : {&sha_ni, &portable}) {
            if (!own->available) continue;
            sha256_select_engine(own == &sha_ni ? Sha256Engine::sha_ni : Sha256Engine::portable);
            char hex[SHA256_HEX_SIZE];
            double start = now_seconds();
            sha256_file_hex(file.c_str(), hex);
            double elapsed = now_seconds() - start;
            own->digest = hex;
            if (own->best < 0 || elapsed < own->best) own->best = elapsed;
        }
        for (Contender* tool : {&openssl, &coreutils}) {
            if (!tool->available) continue;
            std::string output;
            double elapsed = run_tool(tool == &openssl ? openssl_argv : coreutils_argv, output);
            if (elapsed < 0) {
                tool->available = false;
                continue;
            }
            tool->digest = find_digest(output);
            if (tool->best < 0 || elapsed < tool->best) tool->best = elapsed;
        }
    }
    unlink(file.c_str());

    std::printf("\nSHA-256 of a %llu MiB file in the page cache, best of %d rounds\n",
                static_cast<unsigned long long>(size_mib), rounds);
    std::printf("  %-34s %9s %10s  %s\n", "digest", "seconds", "MiB/s", "digest");
    double mibs[4] = {0, 0, 0, 0};
    const Contender* all[4] = {&sha_ni, &portable, &openssl, &coreutils};
    bool digests_agree = true;
    for (int i = 0; i < 4; ++i) {
        const Contender& c = *all[i];
        if (!c.available || c.best <= 0) {
            std::printf("  %-34s %9s\n", c.name, "not available");
            continue;
        }
        mibs[i] = static_cast<double>(bytes) / MIB / c.best;
        std::printf("  %-34s %9.3f %10.1f  %s\n", c.name, c.best, mibs[i], c.digest.c_str());
        if (c.digest != portable.digest) digests_agree = false;
    }
    std::printf("  digests agree: %s\n", digests_agree ? "yes" : "NO");
    if (mibs[0] > 0 && mibs[2] > 0)
        std::printf("  SHA extensions / openssl:  %.3f  (goal >= 0.9)\n", mibs[0] / mibs[2]);
    if (mibs[1] > 0 && mibs[3] > 0)
        std::printf("  portable / sha256sum:      %.3f  (goal >= 1.0)\n", mibs[1] / mibs[3]);

    std::printf(
        "\nPeak resident set (ru_maxrss) of download_from_node + sha256_file_hex, generated "
        "transport\n");
    std::fflush(stdout);
    const long small_kib = measure_peak_kib(1 << 20, dir);
    const long large_kib = measure_peak_kib(bytes, dir);
    std::printf("  %-34s %8ld KiB\n", "1 MiB installer", small_kib);
    char large_name[64];
    std::snprintf(large_name, sizeof large_name, "%llu MiB installer",
                  static_cast<unsigned long long>(size_mib));
    std::printf("  %-34s %8ld KiB\n", large_name, large_kib);
    if (small_kib > 0 && large_kib > 0)
        std::printf("  growth: %ld KiB  (goal <= 1024 KiB)\n", large_kib - small_kib);
    rmdir(dir.c_str());
    return digests_agree && small_kib > 0 && large_kib > 0 ? 0 : 1;
}
