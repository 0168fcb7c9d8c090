// One pass from the banner to the exit code: manifest, candidates, probes and
// ranking, then the ranked nodes in turn until one yields a verified installer,
// which is started. The stages print their own messages; this file owns only
// the order, the session lifetimes, the node loop and the run's own errors.
//
// It also owns every decision that spans nodes. One copy runs at a time: a
// second says so before it touches the network or any file. The free space of
// the temporary folder is compared with the release before any download. A
// node that is far too slow may be left for the next one, but never the last
// reachable node and never more than two in a run, so that a link that is
// slow everywhere costs seconds, not the install; and a node left for
// slowness is taken again, without the rule, when every node after it has
// failed. A file that cannot be written ends the loop at once with its own
// message: no node could help, and the mirrors are not to blame.
//
// A broken download goes on where it stopped: at the next node, and in the
// next run when the part left behind is proven to be of the same release. A
// file that more than one source made and that fails its digest, when nothing
// told its sources apart, does not say which was wrong: from then on every
// attempt of the run is whole, and the loop starts again at the best node,
// every node included but those whose own class of file failed. Only a node
// whose file failed a check is left for good; one that broke or was dropped
// as a helper is still a source for the loop. The run's last line says
// whether a check failed or no file was ever complete.
//
// A failing run whose console is its own (a double-clicked program, in a window
// that closes when it exits) waits for Enter before it ends, or its messages,
// the very point of a failure, would vanish unread. Everything else the run
// prints, and its exit code, is the same either way.
#include "run/run.hpp"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "download/download.hpp"
#include "download/held_ranges.hpp"
#include "manifest/manifest.hpp"
#include "mirrors/mirrors.hpp"
#include "net/transport.hpp"
#include "os/os.hpp"
#include "program_version.hpp"
#include "records.hpp"
#include "verify/verify.hpp"

namespace {

constexpr char PRODUCT_NAME[] = "Trevalon";
constexpr char PROGRAM_VERSION[] = TREVALON_VERSION;

// Nodes a run may leave for slowness; the next one keeps going at any rate.
constexpr int MAX_SLOW_NODES_LEFT = 2;

ReleaseRecord g_release;
NodeTable g_table;

void print_banner() {
    out_printf("=== %s 在线安装器 / Online Installer v%s ===\n", PRODUCT_NAME, PROGRAM_VERSION);
    out_line("将自动检测多个下载节点并选择最快的节点下载最新版。");
    out_line(
        "Automatically probes multiple download nodes and downloads the latest build via the "
        "fastest one.\n");
}

// The folder part of a path: everything up to its last separator.
void folder_of(const char* path, char folder[INSTALLER_PATH_SIZE]) {
    std::snprintf(folder, INSTALLER_PATH_SIZE, "%s", path);
    char* end = folder;
    for (char* c = folder; *c != '\0'; ++c) {
        if (*c == '/' || *c == '\\') end = c + 1;
    }
    *end = '\0';
}

// False, after its message, when the temporary folder's file system has less
// room than the bytes still missing; a file system that cannot tell is given
// the benefit. The comparison is in whole bytes, for any size up to 2^64 - 1;
// only the message's megabytes pass through a double.
bool temp_space_suffices(const char* installer_path, uint64_t missing) {
    char folder[INSTALLER_PATH_SIZE];
    folder_of(installer_path, folder);
    uint64_t free_bytes = 0;
    if (!free_disk_space(folder, &free_bytes) || free_bytes >= missing) return true;
    out_printf(
        "错误: 临时目录空间不足 / Error: not enough free space in the temp directory "
        "(need %.1f MB, have %.1f MB)\n",
        static_cast<double>(missing) * BYTES_TO_MB, static_cast<double>(free_bytes) * BYTES_TO_MB);
    return false;
}

void print_cannot_write(DownloadOutcome outcome, const char* installer_path) {
    if (outcome == DownloadOutcome::cannot_write) {
        char part[PART_PATH_SIZE];
        compose_part_path(installer_path, part);
        out_printf(
            "\n错误: 无法在临时目录中写入文件 / Error: cannot write to the temp directory: %s\n",
            part);
    } else {
        out_printf(
            "\n错误: 无法写入安装器文件 / Error: cannot write the installer file (is it still "
            "running?): %s\n",
            installer_path);
    }
}

// After "no reachable node": the one cause on this machine that every node
// failed for, and what to do about it; nothing when there is none.
void print_local_cause(NetCause cause) {
    switch (cause) {
        case NetCause::tls_versions_refused:
            out_line(
                "   原因: 系统拒绝启用 TLS 1.1/1.2, Windows 7 需安装更新 KB3140245 / Cause: this "
                "Windows refuses TLS 1.1 and 1.2; on Windows 7 install update KB3140245, then "
                "try again.");
            break;
        case NetCause::certificate_untrusted:
            out_line(
                "   原因: 服务器证书不受信任, 常见于检查 HTTPS 的代理或安全软件 / Cause: the "
                "server's certificate is not trusted, often because a proxy or security program "
                "inspects HTTPS; trust its certificate or turn that inspection off.");
            break;
        case NetCause::proxy_credentials:
            out_line(
                "   原因: 代理服务器需要用户名和密码 / Cause: the proxy server needs a user name "
                "and password; ask your administrator, or use a connection without this proxy.");
            break;
        default:
            break;
    }
}

// The node loop's state: the attempts so far, the part's makers, the end.
struct NodeLoop {
    NetSession* session = nullptr;
    const char* path = nullptr;
    int result = 1;
    bool launch_attempted = false;
    bool cannot_write = false;
    bool may_resume = true;
    int part_writer = NO_NODE;  // the node whose bytes the part ends with, or EARLIER_RUN
    bool mixed = false;         // the part holds bytes of more than one source
    // Nodes this pass of the loop tried as the first node.
    bool tried[MAX_NODES] = {};
    // What the downloads found of each node: only class_failed leaves it for the run.
    NodeStanding standing[MAX_NODES] = {};
    // A file failed a check (its digest, its signature): the run's last line says so.
    bool check_failed = false;
    // A file of several sources failed and nothing told them apart: the loop
    // starts again at the best node, and every attempt is whole.
    bool start_again = false;
    // The signed file with the release's digest is not the release: the
    // other nodes serve the same bytes, so none is asked.
    bool release_refused = false;

    bool ended() const { return launch_attempted || cannot_write || release_refused; }

    // Verifies the file at the path and launches it when it passes. A file of
    // more than one source that fails ends resuming for the run.
    void verify_and_launch() {
        const bool stitched = mixed;
        part_writer = NO_NODE;
        mixed = false;
        const Verification verification = verify_download(path, g_release);
        if (verification == Verification::release_refused) release_refused = true;
        if (verification != Verification::verified) {
            check_failed = true;
            if (stitched) may_resume = false;
            return;
        }
        launch_attempted = true;
        if (launch_installer(path)) result = 0;
    }

    // An earlier run's part that holds the whole size needs no download:
    // it is moved into place and checked like a finished one.
    void check_earlier_whole_part() {
        out_line("\n[3/4] 上次运行已下载完整 / Already downloaded by an earlier run");
        if (!place_earlier_whole_part(path)) {
            print_cannot_write(DownloadOutcome::cannot_replace, path);
            cannot_write = true;
            return;
        }
        mixed = true;  // its makers are unknown
        verify_and_launch();
    }

    DownloadOutcome try_node(int index, bool leave_if_too_slow) {
        PartRecord record{};
        // A resumable download may take helpers; a whole one is one node's.
        const DownloadOutcome outcome =
            may_resume ? download_from_nodes(session, g_table, index, g_release, path,
                                             leave_if_too_slow, standing, &record)
                       : download_from_node(session, g_table.nodes[index], g_release, path,
                                            leave_if_too_slow, nullptr);
        tried[index] = true;
        if (record.several_failed) {
            may_resume = false;
            start_again = true;
            check_failed = true;
        }
        for (const NodeStanding found : standing)
            check_failed = check_failed || found == NodeStanding::class_failed;
        if (record.wrote) {
            if (record.appended && part_writer != index) mixed = true;
            if (!record.appended) mixed = false;
            part_writer = index;
        }
        if (outcome == DownloadOutcome::cannot_write ||
            outcome == DownloadOutcome::cannot_replace) {
            print_cannot_write(outcome, path);
            cannot_write = true;
        } else if (outcome == DownloadOutcome::complete) {
            verify_and_launch();
        }
        return outcome;
    }
};

int run_stages() {
    // The records are zero-filled statics; clearing them here keeps a second
    // run in the same process (the tests) from seeing the first one's table.
    std::memset(&g_release, 0, sizeof g_release);
    std::memset(&g_table, 0, sizeof g_table);

    set_console_utf8();
    print_banner();

    if (take_instance_lock() == InstanceLock::taken) {
        out_line("错误: 安装器已在运行 / Error: the online installer is already running.");
        return 1;
    }

    NetSession* probe_session = open_session();
    if (probe_session == nullptr) {
        out_line("错误: 无法初始化 WinHTTP / Error: cannot initialize WinHTTP");
        return 2;
    }
    apply_timeouts(probe_session, PROBE_PROFILE);

    fetch_manifest(probe_session, g_release);

    print_probe_header();
    build_candidates(g_release, g_table);
    const NetCause cause = probe_nodes(probe_session, g_table);
    rank_nodes(g_table);

    if (g_table.count == 0 || !g_table.nodes[0].reachable) {
        out_line("\n错误: 所有节点均不可达, 请检查网络后重试。");
        out_line("   Error: no reachable node. Check your network and try again.");
        print_local_cause(cause);
        close_handle(probe_session);
        return 1;
    }

    char installer_path[INSTALLER_PATH_SIZE];
    if (!prepare_installer_path(g_release, installer_path)) {
        close_handle(probe_session);
        return 2;
    }
    const uint64_t held = adopt_earlier_part(installer_path, g_release);
    if (!temp_space_suffices(installer_path, g_release.size - held)) {
        close_handle(probe_session);
        return 2;
    }

    NetSession* download_session = open_session();
    apply_timeouts(download_session, DOWNLOAD_PROFILE);
    NodeLoop loop;
    loop.session = download_session;
    loop.path = installer_path;
    loop.part_writer = held != 0 ? EARLIER_RUN : NO_NODE;

    if (held != 0 && held == g_release.size) {
        loop.check_earlier_whole_part();
    }
    int slow_nodes[MAX_SLOW_NODES_LEFT];
    int slow_nodes_left = 0;
    for (int i = 0; i < g_table.count && !loop.ended(); ++i) {
        const MirrorNode& node = g_table.nodes[i];
        if (!node.reachable) break;
        if (loop.tried[i] || loop.standing[i] == NodeStanding::class_failed) continue;
        bool another_follows = false;
        for (int k = i + 1; k < g_table.count && g_table.nodes[k].reachable; ++k)
            another_follows = another_follows ||
                              (!loop.tried[k] && loop.standing[k] != NodeStanding::class_failed);
        const bool leave_if_too_slow = another_follows && slow_nodes_left < MAX_SLOW_NODES_LEFT;
        if (loop.try_node(i, leave_if_too_slow) == DownloadOutcome::too_slow) {
            slow_nodes[slow_nodes_left++] = i;
        }
        if (loop.start_again) {
            // Once: whole attempts never set it again.
            loop.start_again = false;
            for (bool& t : loop.tried)
                t = false;
            slow_nodes_left = 0;
            i = -1;
        }
    }
    // Every node after them failed: the ones left for slowness may finish.
    for (int k = 0; k < slow_nodes_left && !loop.ended(); ++k)
        loop.try_node(slow_nodes[k], false);

    const bool cannot_write = loop.cannot_write;
    const bool launch_attempted = loop.launch_attempted;
    const int result = loop.result;

    close_handle(download_session);
    close_handle(probe_session);

    if (cannot_write) return 1;
    if (!launch_attempted && loop.check_failed) {
        out_line("\n错误: 所有可用节点均未能完成校验, 请稍后重试或手动获取安装包。");
        out_line(
            "   Error: all reachable nodes failed verification. Retry later or get the "
            "installer manually.");
        return 1;
    }
    if (!launch_attempted) {
        // No file was ever complete: no check failed, and the line does not say one did.
        out_line("\n错误: 所有可用节点均未能完成下载, 请稍后重试或手动获取安装包。");
        out_line(
            "   Error: no reachable node completed the download. Retry later or get the "
            "installer manually.");
        return 1;
    }
    return result;
}

}  // namespace

int run_installer() {
    int exit_code = run_stages();
    if (exit_code != 0 && console_is_own()) {
        out_line("\n按回车键退出 / Press Enter to exit...");
        out_flush();
        wait_for_enter();
    }
    return exit_code;
}
