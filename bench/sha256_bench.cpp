// Throughput of the installer's file digest on each SHA-256 engine beside
// OpenSSL and coreutils on the same file in the same run, and the peak memory
// of a download plus digest for a small and a large installer. It prints
// figures; it asserts nothing and is never part of the tests.
//
//   trevalon-bench-sha256 [--size-mib N] [--rounds R] [--dir DIR] [--over-4gib]
//
// The digest file (default 1024 MiB) is written to a fresh folder under DIR
// ($TMPDIR or /tmp by default) and hashed R times (default 3) by each of:
// sha256_file_hex on every engine this CPU runs (a line "engine NAME N MiB/s"
// each), `openssl dgst -sha256`, the same with OpenSSL's SHA-extension path
// masked ("openssl-no-sha-ext"), and `sha256sum`; the rounds interleave them
// and the best time of each counts. The file is in the page cache, so the
// figures are those of the digest, not of the disk. Every contender is timed
// by the processor time it used, user and system (the tools' from wait4, the
// program's own in process), not the wall clock, so that other work on the
// machine does not count.
//
// --over-4gib adds one file above 4 GiB (sparse), hashed once by each engine
// and by both tools, whose digests must all agree.
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
#include <vector>

#include "download/download.hpp"
#include "generated_client.hpp"
#include "net/transport.hpp"
#include "records.hpp"
#include "verify/sha256.hpp"

extern char** environ;

namespace {

constexpr double MIB = 1048576.0;

// Processor time of this process, user and system: on a machine shared with
// other work, the time a digest waits for a core is not the digest's.
double cpu_seconds() {
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

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

// Runs a tool with its standard output captured; gives the processor time
// (user and system) the tool used, or a negative number when it could not run
// or failed.
double run_tool(const char* const argv[], std::string& output, char* const* environment) {
    int out_pipe[2];
    if (pipe(out_pipe) != 0) return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out_pipe[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out_pipe[0]);
    pid_t pid;
    int rc =
        posix_spawnp(&pid, argv[0], &actions, nullptr, const_cast<char* const*>(argv), environment);
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
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    const double elapsed =
        static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
        static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
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

// OpenSSL reads its CPU capabilities from this variable: ":~0x20000000"
// clears the SHA bit of cpuid leaf 7 EBX, so it takes its best path without
// the SHA extensions.
const char OPENSSL_NO_SHA_EXT[] = "OPENSSL_ia32cap=:~0x20000000";

// This process's environment with one more variable, replacing one of the same name.
std::vector<char*> environment_with(const char* assignment) {
    const size_t name_length = std::strchr(assignment, '=') - assignment + 1;
    std::vector<char*> out;
    for (char** e = environ; *e != nullptr; ++e)
        if (std::strncmp(*e, assignment, name_length) != 0) out.push_back(*e);
    out.push_back(const_cast<char*>(assignment));
    out.push_back(nullptr);
    return out;
}

// Every engine, sha256sum and openssl on one file above 4 GiB, where byte
// counts and the bit length no longer fit 32 bits: a sparse file, so it needs
// no disk, with 1 MiB of data at its start, across the 4 GiB mark and at its
// end; the rest reads as zeros. Prints the digests and whether they agree.
bool check_over_4_gib(const std::string& dir) {
    const uint64_t size = (4ull << 30) + (1 << 20) + 3;
    const uint64_t data_at[] = {0, (4ull << 30) - (1 << 19), size - (1 << 20)};
    const std::string path = dir + "/over-4gib.bin";
    std::printf("\nOne sparse file of %llu bytes (above 4 GiB), every engine and the tools\n",
                static_cast<unsigned long long>(size));
    std::fflush(stdout);
    int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0600);
    bool written = fd >= 0 && ftruncate(fd, static_cast<off_t>(size)) == 0;
    static uint8_t chunk[1 << 20];
    uint64_t x = 0x452821e638d01377ull;
    for (uint64_t offset : data_at) {
        for (size_t i = 0; i < sizeof chunk; i += 8) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            std::memcpy(chunk + i, &x, 8);
        }
        written = written && pwrite(fd, chunk, sizeof chunk, static_cast<off_t>(offset)) ==
                                 static_cast<ssize_t>(sizeof chunk);
    }
    if (fd >= 0) close(fd);
    if (!written) {
        std::printf("cannot write %s\n", path.c_str());
        unlink(path.c_str());
        return false;
    }

    std::vector<std::string> digests;
    for (int e = 0; e < SHA256_ENGINE_COUNT; ++e) {
        const Sha256Engine engine = static_cast<Sha256Engine>(e);
        if (!sha256_select_engine(engine)) continue;
        char hex[SHA256_HEX_SIZE];
        double start = now_seconds();
        sha256_file_hex(path.c_str(), hex);
        std::printf("engine %s %s  (%.1f s)\n", sha256_engine_name(engine), hex,
                    now_seconds() - start);
        std::fflush(stdout);
        digests.push_back(hex);
    }
    sha256_select_engine(sha256_best_engine());
    const char* openssl_argv[] = {"openssl", "dgst", "-sha256", path.c_str(), nullptr};
    const char* coreutils_argv[] = {"sha256sum", path.c_str(), nullptr};
    for (const char* const* argv : {openssl_argv, coreutils_argv}) {
        std::string output;
        if (run_tool(argv, output, environ) < 0) {
            std::printf("%s not available\n", argv[0]);
            continue;
        }
        std::printf("%s %s\n", argv[0], find_digest(output).c_str());
        digests.push_back(find_digest(output));
    }
    unlink(path.c_str());
    bool agree = digests.size() > 1 && digests[0].size() == 64;
    for (const std::string& digest : digests)
        agree = agree && digest == digests[0];
    std::printf("digests above 4 GiB agree: %s\n", agree ? "yes" : "NO");
    return agree;
}

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
    bool downloaded =
        download_from_node(session, node, release, path, false) == DownloadOutcome::complete;
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
    bool large = false, usage = false;
    for (int i = 1; i < argc; ++i) {
        const bool has_value = i + 1 < argc;
        if (std::strcmp(argv[i], "--size-mib") == 0 && has_value)
            size_mib = std::strtoull(argv[++i], nullptr, 10);
        else if (std::strcmp(argv[i], "--rounds") == 0 && has_value)
            rounds = std::atoi(argv[++i]);
        else if (std::strcmp(argv[i], "--dir") == 0 && has_value)
            base = argv[++i];
        else if (std::strcmp(argv[i], "--over-4gib") == 0)
            large = true;
        else
            usage = true;
    }
    if (usage || size_mib == 0 || rounds < 1) {
        std::fprintf(stderr, "usage: %s [--size-mib N] [--rounds R] [--dir DIR] [--over-4gib]\n",
                     argv[0]);
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

    Contender engines[SHA256_ENGINE_COUNT] = {Contender{"engine portable"},
                                              Contender{"engine ssse3"}, Contender{"engine avx2"},
                                              Contender{"engine sha-ext"}};
    for (int e = 0; e < SHA256_ENGINE_COUNT; ++e)
        engines[e].available = sha256_cpu_runs(static_cast<Sha256Engine>(e));
    Contender openssl{"openssl"};
    Contender openssl_masked{"openssl-no-sha-ext"};
    Contender coreutils{"sha256sum"};
    Contender* tools[] = {&openssl, &openssl_masked, &coreutils};

    const std::vector<char*> masked_environment = environment_with(OPENSSL_NO_SHA_EXT);
    const char* openssl_argv[] = {"openssl", "dgst", "-sha256", file.c_str(), nullptr};
    const char* coreutils_argv[] = {"sha256sum", file.c_str(), nullptr};
    for (int round = 0; round < rounds; ++round) {
        for (int e = 0; e < SHA256_ENGINE_COUNT; ++e) {
            Contender& own = engines[e];
            if (!own.available) continue;
            sha256_select_engine(static_cast<Sha256Engine>(e));
            char hex[SHA256_HEX_SIZE];
            double start = cpu_seconds();
            sha256_file_hex(file.c_str(), hex);
            double elapsed = cpu_seconds() - start;
            own.digest = hex;
            if (own.best < 0 || elapsed < own.best) own.best = elapsed;
        }
        for (Contender* tool : tools) {
            if (!tool->available) continue;
            std::string output;
            double elapsed =
                run_tool(tool == &coreutils ? coreutils_argv : openssl_argv, output,
                         tool == &openssl_masked ? masked_environment.data() : environ);
            if (elapsed < 0) {
                tool->available = false;
                continue;
            }
            tool->digest = find_digest(output);
            if (tool->best < 0 || elapsed < tool->best) tool->best = elapsed;
        }
    }
    unlink(file.c_str());
    sha256_select_engine(sha256_best_engine());

    std::printf("\nSHA-256 of a %llu MiB file in the page cache, best of %d rounds\n",
                static_cast<unsigned long long>(size_mib), rounds);
    std::printf(
        "(openssl dgst -sha256; openssl-no-sha-ext: the same with OPENSSL_ia32cap=\"%s\")\n",
        OPENSSL_NO_SHA_EXT + std::strlen("OPENSSL_ia32cap="));
    std::printf("in use by the program: %s\n", sha256_engine_name(sha256_engine_in_use()));
    std::vector<const Contender*> all;
    for (const Contender& c : engines)
        all.push_back(&c);
    for (const Contender* tool : tools)
        all.push_back(tool);
    const std::string& reference = engines[0].digest;
    bool digests_agree = true;
    for (const Contender* c : all) {
        if (!c->available || c->best <= 0) {
            std::printf("%s not available\n", c->name);
            continue;
        }
        std::printf("%s %.1f MiB/s\n", c->name, static_cast<double>(bytes) / MIB / c->best);
        if (c->digest != reference) digests_agree = false;
    }
    std::printf("seconds and digests:\n");
    for (const Contender* c : all)
        if (c->available && c->best > 0)
            std::printf("  %-26s %8.3f  %s\n", c->name, c->best, c->digest.c_str());
    std::printf("digests agree: %s\n", digests_agree ? "yes" : "NO");
    // Time ratios: the same file both ways, so MiB/s ratios are time ratios.
    double best_vector = -1;
    const char* best_vector_name = nullptr;
    for (int e = 0; e < static_cast<int>(Sha256Engine::sha_ni); ++e) {
        const Contender& c = engines[e];
        if (c.available && c.best > 0 && (best_vector < 0 || c.best < best_vector)) {
            best_vector = c.best;
            best_vector_name = c.name;
        }
    }
    const Contender& sha_ext = engines[static_cast<int>(Sha256Engine::sha_ni)];
    if (sha_ext.best > 0 && openssl.best > 0)
        std::printf("sha-ext / openssl: %.3f  (goal >= 0.9)\n", openssl.best / sha_ext.best);
    if (best_vector > 0 && openssl_masked.best > 0)
        std::printf("best other than sha-ext (%s) / openssl-no-sha-ext: %.3f  (goal >= 0.9)\n",
                    best_vector_name + std::strlen("engine "), openssl_masked.best / best_vector);
    if (engines[0].best > 0 && coreutils.best > 0)
        std::printf("portable / sha256sum: %.3f  (goal >= 1.0)\n",
                    coreutils.best / engines[0].best);

    bool large_agrees = true;
    if (large) large_agrees = check_over_4_gib(dir);

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
    return digests_agree && large_agrees && small_kib > 0 && large_kib > 0 ? 0 : 1;
}
