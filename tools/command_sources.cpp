// `sources [MANIFEST]`: what each of the installer's five manifest sources
// serves, asked one after another with the installer's own attempt
// (fetch_manifest_source: the same transport, timeouts, size limit and
// parser), each body then judged as `check` judges a file. One row per source
// says whether it answered and whether it serves the same release as
// MANIFEST, or as the first source with a valid manifest when none is given;
// the command passes only when all five serve one and the same.
#include <cstdio>
#include <cstring>

#include "manifest/manifest.hpp"
#include "net/transport.hpp"
#include "tool_core.hpp"
#include "verify/sha256.hpp"
#include "verify/verify.hpp"

namespace tool {

namespace {

constexpr int SHORT_DIGEST_CHARS = 12;

// One release or the other as the installer would install them: the same
// version, file, size and digest (the digest's letter case aside, as the
// installer's own comparison has it).
bool same_release(const ReleaseRecord& a, const ReleaseRecord& b) {
    return std::strcmp(a.version, b.version) == 0 && std::strcmp(a.file_name, b.file_name) == 0 &&
           a.size == b.size && digest_text_matches(a.sha256, b.sha256);
}

void describe_release(const ReleaseRecord& release, char* text, size_t capacity) {
    std::snprintf(text, capacity, "v%s  %s  %llu bytes  SHA-256 %.*s", release.version,
                  release.file_name, static_cast<unsigned long long>(release.size),
                  SHORT_DIGEST_CHARS, release.sha256);
}

// What a source that gave no manifest did instead, for its row.
const char* outcome_text(SourceOutcome outcome, const char* reason) {
    switch (outcome) {
        case SourceOutcome::accepted:
            return "";
        case SourceOutcome::empty_entry:
            return "no source in this slot";
        case SourceOutcome::unreachable:
            return "no response";
        case SourceOutcome::bad_status:
            return "no manifest: status other than 200 or 206";
        case SourceOutcome::read_failed:
            return "no manifest: the body broke off";
        case SourceOutcome::empty_body:
            return "no manifest: an empty body";
        case SourceOutcome::too_long:
            return "no manifest: a body of 4095 bytes or more";
        case SourceOutcome::refused:
            return reason != nullptr ? reason : "no manifest";
    }
    return "";
}

constexpr char SOURCE_ROW_FORMAT[] = "%-2s %-6s  %-25s  %-9s  %-8s  %s\n";

}  // namespace

int command_sources(const Arguments& args) {
    if (args.count > 1) return usage_error("sources", "one MANIFEST at most, got %d", args.count);

    ReleaseRecord reference = {};
    bool have_reference = false;
    if (args.count == 1) {
        int result = load_manifest("sources", args.operands[0], reference);
        if (result != EXIT_TOOL_OK) return result;
        have_reference = true;
    }

    NetSession* session = open_session();
    if (session == nullptr) {
        say(Stream::err, "%s: sources: cannot open an HTTPS session\n", TOOL);
        return EXIT_TOOL_FAILED;
    }
    apply_timeouts(session, PROBE_PROFILE);

    if (have_reference) {
        char text[256];
        describe_release(reference, text, sizeof text);
        say(Stream::out, "Against %s: %s\n", args.operands[0], text);
    } else {
        say(Stream::out, "Against the first source that serves a valid manifest\n");
    }
    say(Stream::out, SOURCE_ROW_FORMAT, "#", "SOURCE", "HOST", "REACHABLE", "MANIFEST", "SERVES");

    int good = 0;
    for (int i = 0; i < MANIFEST_SOURCE_COUNT; ++i) {
        const char* url = MANIFEST_SOURCES[i];
        char number[8], host[URL_PART_UNITS * 3];
        std::snprintf(number, sizeof number, "%d", i + 1);
        show_progress("   %s %s  asking", number, english_label(manifest_source_label(url)));
        ReleaseRecord served = {};
        const char* reason = nullptr;
        static char body[MANIFEST_BODY_SIZE];
        SourceOutcome outcome = fetch_manifest_source(session, url, served, &reason, &body);
        clear_progress();
        // What the installer's parser passed must pass check's rules too: a
        // size line of "-1" parses, and then no download can ever match it.
        if (outcome == SourceOutcome::accepted) {
            reason = refusal(body, std::strlen(body), served);
            if (reason != nullptr) outcome = SourceOutcome::refused;
        }

        const char* reachable = "yes";
        if (outcome == SourceOutcome::empty_entry) reachable = "-";
        if (outcome == SourceOutcome::unreachable) reachable = "no";
        const char* verdict = "-";
        char serves[256];
        if (outcome == SourceOutcome::accepted) {
            if (!have_reference) {
                reference = served;
                have_reference = true;
            }
            bool same = same_release(served, reference);
            verdict = same ? "same" : "differs";
            if (same) ++good;
            describe_release(served, serves, sizeof serves);
        } else {
            std::snprintf(serves, sizeof serves, "%s", outcome_text(outcome, reason));
        }
        url_host(url != nullptr ? url : "", host, sizeof host);
        say(Stream::out, SOURCE_ROW_FORMAT, number, english_label(manifest_source_label(url)),
            host[0] != '\0' ? host : "-", reachable, verdict, serves);
    }
    close_handle(session);

    if (good == MANIFEST_SOURCE_COUNT) {
        say(Stream::out, "All %d sources serve the same valid manifest.\n", MANIFEST_SOURCE_COUNT);
        return EXIT_TOOL_OK;
    }
    say(Stream::out, "%d of %d sources do not serve the same valid manifest.\n",
        MANIFEST_SOURCE_COUNT - good, MANIFEST_SOURCE_COUNT);
    return EXIT_TOOL_FAILED;
}

}  // namespace tool
