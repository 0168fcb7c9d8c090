// One pass from the banner to the exit code: manifest, candidates, probes and
// ranking, then the ranked nodes in turn until one yields a verified installer,
// which is started. The stages print their own messages; this file owns only
// the order, the session lifetimes, the node loop and the run's own errors.
//
// A failing run whose console is its own (a double-clicked program, in a window
// that closes when it exits) waits for Enter before it ends, or its messages,
// the very point of a failure, would vanish unread. Everything else the run
// prints, and its exit code, is the same either way.
#include "run/run.hpp"

#include <cstring>

#include "install/install.hpp"
#include "manifest/manifest.hpp"
#include "mirrors/mirrors.hpp"
#include "net/transport.hpp"
#include "os/os.hpp"
#include "program_version.hpp"
#include "records.hpp"

namespace {

constexpr char PRODUCT_NAME[] = "Trevalon";
constexpr char PROGRAM_VERSION[] = TREVALON_VERSION;

ReleaseRecord g_release;
NodeTable g_table;

void print_banner() {
    out_printf("=== %s 在线安装器 / Online Installer v%s ===\n", PRODUCT_NAME, PROGRAM_VERSION);
    out_line("将自动检测多个下载节点并选择最快的节点下载最新版。");
    out_line(
        "Automatically probes multiple download nodes and downloads the latest build via the "
        "fastest one.\n");
}

int run_stages() {
    // The records are zero-filled statics; clearing them here keeps a second
    // run in the same process (the tests) from seeing the first one's table.
    std::memset(&g_release, 0, sizeof g_release);
    std::memset(&g_table, 0, sizeof g_table);

    set_console_utf8();
    print_banner();

    NetSession* probe_session = open_session();
    if (probe_session == nullptr) {
        out_line("错误: 无法初始化 WinHTTP / Error: cannot initialize WinHTTP");
        return 2;
    }
    apply_timeouts(probe_session, PROBE_PROFILE);

    fetch_manifest(probe_session, g_release);

    print_probe_header();
    build_candidates(g_release, g_table);
    probe_nodes(probe_session, g_table);
    rank_nodes(g_table);

    if (g_table.count == 0 || !g_table.nodes[0].reachable) {
        out_line("\n错误: 所有节点均不可达, 请检查网络后重试。");
        out_line("   Error: no reachable node. Check your network and try again.");
        close_handle(probe_session);
        return 1;
    }

    char installer_path[INSTALLER_PATH_SIZE];
    if (!prepare_installer_path(g_release, installer_path)) {
        close_handle(probe_session);
        return 2;
    }

    NetSession* download_session = open_session();
    apply_timeouts(download_session, DOWNLOAD_PROFILE);
    int result = 1;
    bool launch_attempted = false;

    for (int i = 0; i < g_table.count; ++i) {
        const MirrorNode& node = g_table.nodes[i];
        if (!node.reachable) break;
        if (!download_from_node(download_session, node, g_release, installer_path)) continue;
        if (!verify_download(installer_path, g_release)) continue;
        launch_attempted = true;
        if (launch_installer(installer_path)) result = 0;
        break;
    }

    close_handle(download_session);
    close_handle(probe_session);

    if (!launch_attempted) {
        out_line("\n错误: 所有可用节点均未能完成校验, 请稍后重试或手动获取安装包。");
        out_line(
            "   Error: all reachable nodes failed verification. Retry later or get the "
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
