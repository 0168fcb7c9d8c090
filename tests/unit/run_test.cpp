// The run as a whole over the fake transport and OS: every exit code with the
// complete transcript, the files left behind and the handles closed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "download/download.hpp"
#include "fake_net.hpp"
#include "fake_os.hpp"
#include "net/client.hpp"
#include "net/transport.hpp"
#include "run/run.hpp"
#include "test_support.hpp"
#include "verify/sha256.hpp"
#include "verify/verify.hpp"

namespace {

const std::string FILE_NAME = "Trevalon-setup-0.8.0.exe";
const std::string INSTALLER = "abc";
const std::string DIGEST = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
const std::string WRONG_DIGEST =
    "3608bca1e44ea6c4d268eb6db02260269892c0b42b86bbf1e77a6fa16c3c9282";  // "xyz"
const std::string MANIFEST = "v0.8.0\r\n" + FILE_NAME + "\r\n3\r\n" + DIGEST + "\r\n";
const std::string FIRST_SOURCE =
    "https://www.modelscope.cn/datasets/tallisbrook/trevalon_r/resolve/master/manifest.txt";

const std::string GITHUB =
    "https://github.com/norwick/trevalon/releases/download/v0.8.0/" + FILE_NAME;
const std::string NODE_URLS[6] = {
    "https://www.modelscope.cn/datasets/tallisbrook/trevalon_r/resolve/master/" + FILE_NAME,
    GITHUB,
    "https://ghfast.top/" + GITHUB,
    "https://gh-proxy.com/" + GITHUB,
    "https://ghproxy.net/" + GITHUB,
    "https://huggingface.co/datasets/fernhollow/trevalon_r/resolve/main/" + FILE_NAME,
};

const std::string BANNER =
    "=== Trevalon 在线安装器 / Online Installer v1.2.0 ===\n"
    "将自动检测多个下载节点并选择最快的节点下载最新版。\n"
    "Automatically probes multiple download nodes and downloads the latest build via the fastest "
    "one.\n"
    "\n";
const std::string STAGE1 = "[1/4] 获取版本清单 / Fetching version manifest...\n";
const std::string RELEASE_LINE =
    "   版本/Version v0.8.0  文件/File Trevalon-setup-0.8.0.exe  大小/Size 0.0 MB  来源/Source: "
    "节点A/Node A\n";
const std::string BUILTIN_LINE =
    "   版本/Version v0.7.19  文件/File Trevalon-setup-0.7.19.exe  大小/Size 19.2 MB  "
    "来源/Source: 程序内置/Built-in\n";
const std::string STAGE2 = "\n[2/4] 探测候选节点 / Probing candidate nodes...\n";
const std::string NO_REACHABLE_NODE =
    "\n错误: 所有节点均不可达, 请检查网络后重试。\n"
    "   Error: no reachable node. Check your network and try again.\n";
const std::string ALL_FAILED =
    "\n错误: 所有可用节点均未能完成校验, 请稍后重试或手动获取安装包。\n"
    "   Error: all reachable nodes failed verification. Retry later or get the installer "
    "manually.\n";
// The last lines of a run in which no file was ever complete.
const std::string NONE_COMPLETE =
    "\n错误: 所有可用节点均未能完成下载, 请稍后重试或手动获取安装包。\n"
    "   Error: no reachable node completed the download. Retry later or get the installer "
    "manually.\n";
const std::string NODE_FAILED =
    "\r   该节点传输失败或内容不完整, 切换下一节点 / Node failed or incomplete, switching...\n";

// A node asked again after its answer broke, with the megabytes held.
std::string asked_again(const std::string& mb) {
    return "\r   连接中断, 已有 " + mb + " MB, 重新请求该节点 / Connection broken with " + mb +
           " MB held, asking the node again\n";
}

// The part file beside an installer path, and its release's digest.
std::string part_of(const std::string& path) {
    return path.substr(0, path.rfind('/') + 1) + PART_FILE_NAME;
}
std::string side_of(const std::string& path) {
    return path.substr(0, path.rfind('/') + 1) + PART_DIGEST_FILE_NAME;
}

std::string label(int slot) {
    return std::string("节点") + char('A' + slot) + "/Node " + char('A' + slot);
}

// "OO FF" gives the probe lines of six nodes: O reachable at 0 ms, F failed.
std::string probe_lines(const std::string& pattern) {
    std::string lines;
    int slot = 0;
    for (char c : pattern) {
        if (c == ' ') continue;
        lines += "   " + label(slot++) + std::string(10, ' ') +
                 (c == 'O' ? "      0 ms  [可达/OK]\n" : "      - ms  [不可达/FAIL]\n");
    }
    return lines;
}

std::string download_header(int slot) {
    return "\n[3/4] 通过最快可用节点下载 / Downloading via node: " + label(slot) + "\n";
}

std::string downloaded(int slot) {
    return download_header(slot) + "\r   [" + label(slot) + "] 100%  (0.0 / 0.0 MB)\n" +
           "[4/4] 校验完整性 / Verifying integrity (SHA-256)...\n";
}

std::string verified_and_launching() {
    return "   校验通过 / Verified  SHA-256 " + DIGEST +
           "\n   启动安装器 / Launching installer...\n";
}

std::string mismatch() {
    return "   哈希不匹配 / Hash mismatch!\n   期望/Expected: " + DIGEST +
           "\n   实际/Actual:   " + WRONG_DIGEST + "\n";
}

std::string launched(const std::string& path) {
    return "\n完成: 安装器已启动 / Installer launched (at " + path + ")\n";
}

void serve_release() {
    fake_net::serve(FIRST_SOURCE, fake_net::body(MANIFEST));
}

// Nodes first to last fail to send, with the platform's error.
void fail_nodes(uint32_t error, int first, int last) {
    for (int i = first; i <= last; ++i) {
        fake_net::Response failing = fake_net::body(INSTALLER);
        failing.fail_at = fake_net::Step::send;
        failing.error = error;
        fake_net::serve(NODE_URLS[i], failing);
    }
}

const std::string TLS_REFUSED_LINE =
    "   原因: 系统拒绝启用 TLS 1.1/1.2, Windows 7 需安装更新 KB3140245 / Cause: this Windows "
    "refuses TLS 1.1 and 1.2; on Windows 7 install update KB3140245, then try again.\n";
const std::string UNTRUSTED_LINE =
    "   原因: 服务器证书不受信任, 常见于检查 HTTPS 的代理或安全软件 / Cause: the server's "
    "certificate is not trusted, often because a proxy or security program inspects HTTPS; "
    "trust its certificate or turn that inspection off.\n";
const std::string PROXY_LINE =
    "   原因: 代理服务器需要用户名和密码 / Cause: the proxy server needs a user name and "
    "password; ask your administrator, or use a connection without this proxy.\n";

struct RunCase {
    const char* name;
    void (*setup)();
    int exit_code;
    std::string (*expected)(const std::string& path);
    bool installer_left;  // the verified installer stays at the path
    bool launched;
};

const RunCase CASES[] = {
    {"full install from the fastest node",
     [] {
         serve_release();
         fake_net::serve(NODE_URLS[0], fake_net::body(INSTALLER));
     },
     0,
     [](const std::string& path) {
         return BANNER + STAGE1 + RELEASE_LINE + STAGE2 + probe_lines("OFFFFF") + downloaded(0) +
                verified_and_launching() + launched(path);
     },
     true, true},
    {"no probe session",
     [] {
         fake_net::fail_open(client::ACCESS_TYPE_AUTOMATIC_PROXY);
         fake_net::fail_open(client::ACCESS_TYPE_DEFAULT_PROXY);
         fake_net::fail_open(client::ACCESS_TYPE_NO_PROXY);
     },
     2,
     [](const std::string&) {
         return BANNER + "错误: 无法初始化 WinHTTP / Error: cannot initialize WinHTTP\n";
     },
     false, false},
    {"no manifest and no node answers", [] {}, 1,
     [](const std::string&) {
         return BANNER + STAGE1 + BUILTIN_LINE + STAGE2 + probe_lines("FFFFFF") + NO_REACHABLE_NODE;
     },
     false, false},
    {"every node: certificate not trusted",
     [] {
         serve_release();
         fail_nodes(client::ERR_SECURE_INVALID_CA, 0, 5);
     },
     1,
     [](const std::string&) {
         return BANNER + STAGE1 + RELEASE_LINE + STAGE2 + probe_lines("FFFFFF") +
                NO_REACHABLE_NODE + UNTRUSTED_LINE;
     },
     false, false},
    {"every node: TLS failed where TLS 1.1 and 1.2 were refused",
     [] {
         serve_release();
         fake_net::refuse_option(client::OPTION_SECURE_PROTOCOLS);
         fail_nodes(client::ERR_SECURE_FAILURE, 0, 2);
         fail_nodes(client::ERR_SECURE_CHANNEL_ERROR, 3, 5);
     },
     1,
     [](const std::string&) {
         return BANNER + STAGE1 + RELEASE_LINE + STAGE2 + probe_lines("FFFFFF") +
                NO_REACHABLE_NODE + TLS_REFUSED_LINE;
     },
     false, false},
    {"every node: TLS failed, the versions accepted: no cause named",
     [] {
         serve_release();
         fail_nodes(client::ERR_SECURE_CHANNEL_ERROR, 0, 5);
     },
     1,
     [](const std::string&) {
         return BANNER + STAGE1 + RELEASE_LINE + STAGE2 + probe_lines("FFFFFF") + NO_REACHABLE_NODE;
     },
     false, false},
    {"nodes failed for different causes: none named",
     [] {
         serve_release();
         fail_nodes(client::ERR_SECURE_INVALID_CA, 0, 4);
         fail_nodes(client::ERR_NAME_NOT_RESOLVED, 5, 5);
     },
     1,
     [](const std::string&) {
         return BANNER + STAGE1 + RELEASE_LINE + STAGE2 + probe_lines("FFFFFF") + NO_REACHABLE_NODE;
     },
     false, false},
    {"every node: names not resolved: none named",
     [] {
         serve_release();
         fail_nodes(client::ERR_NAME_NOT_RESOLVED, 0, 5);
     },
     1,
     [](const std::string&) {
         return BANNER + STAGE1 + RELEASE_LINE + STAGE2 + probe_lines("FFFFFF") + NO_REACHABLE_NODE;
     },
     false, false},
    {"a proxy that wants Basic",
     [] {
         serve_release();
         fake_net::serve(NODE_URLS[0], fake_net::body(INSTALLER));
         fake_net::proxy_wants(client::AUTH_SCHEME_BASIC);
     },
     1,
     [](const std::string&) {
         return BANNER + STAGE1 + BUILTIN_LINE + STAGE2 + probe_lines("FFFFFF") +
                NO_REACHABLE_NODE + PROXY_LINE;
     },
     false, false},
    {"a proxy that wants NTLM and refuses the logged-on user",
     [] {
         serve_release();
         fake_net::serve(NODE_URLS[0], fake_net::body(INSTALLER));
         fake_net::proxy_wants(client::AUTH_SCHEME_NTLM | client::AUTH_SCHEME_BASIC, false);
     },
     1,
     [](const std::string&) {
         return BANNER + STAGE1 + BUILTIN_LINE + STAGE2 + probe_lines("FFFFFF") +
                NO_REACHABLE_NODE + PROXY_LINE;
     },
     false, false},
    {"a proxy that takes the logged-on user by NTLM",
     [] {
         serve_release();
         fake_net::serve(NODE_URLS[0], fake_net::body(INSTALLER));
         fake_net::proxy_wants(client::AUTH_SCHEME_NTLM | client::AUTH_SCHEME_BASIC);
     },
     0,
     [](const std::string& path) {
         return BANNER + STAGE1 + RELEASE_LINE + STAGE2 + probe_lines("OFFFFF") + downloaded(0) +
                verified_and_launching() + launched(path);
     },
     true, true},
    {"no temporary directory",
     [] {
         serve_release();
         fake_net::serve(NODE_URLS[0], fake_net::body(INSTALLER));
         fake_os::set_temp_dir("");
     },
     2,
     [](const std::string&) {
         return BANNER + STAGE1 + RELEASE_LINE + STAGE2 + probe_lines("OFFFFF") +
                "错误: 无法获取临时目录 / Error: cannot get temp directory\n";
     },
     false, false},
    {"fastest node fails its download, a mismatch follows, the third verifies",
     [] {
         serve_release();
         fake_net::serve(NODE_URLS[1], fake_net::body("abcd"));  // length disagrees with the size
         fake_net::serve(NODE_URLS[3], fake_net::body("xyz"));   // digest disagrees
         fake_net::serve(NODE_URLS[5], fake_net::body(INSTALLER));
     },
     0,
     [](const std::string& path) {
         return BANNER + STAGE1 + RELEASE_LINE + STAGE2 + probe_lines("FOFOFO") +
                download_header(1) + NODE_FAILED + downloaded(3) + mismatch() + downloaded(5) +
                verified_and_launching() + launched(path);
     },
     true, true},
    {"every reachable node fails",
     [] {
         serve_release();
         fake_net::serve(NODE_URLS[0], fake_net::body("xyz"));
         fake_net::Response short_body = fake_net::body("ab");  // passes the probe
         short_body.content_length = 3;
         fake_net::serve(NODE_URLS[2], short_body);
     },
     1,
     [](const std::string&) {
         return BANNER + STAGE1 + RELEASE_LINE + STAGE2 + probe_lines("OFOFFF") + downloaded(0) +
                mismatch() + download_header(2) + "\r   [" + label(2) + "]  66%  (0.0 / 0.0 MB)" +
                asked_again("0.0") + NODE_FAILED + ALL_FAILED;
     },
     false, false},
    {"no download session",
     [] {
         serve_release();
         fake_net::serve(NODE_URLS[0], fake_net::body(INSTALLER));
         fake_net::serve(NODE_URLS[4], fake_net::body(INSTALLER));
         fake_net::fail_open_after(1);
     },
     1,
     [](const std::string&) {
         return BANNER + STAGE1 + RELEASE_LINE + STAGE2 + probe_lines("OFFFOF") +
                download_header(0) + NODE_FAILED + download_header(4) + NODE_FAILED + NONE_COMPLETE;
     },
     false, false},
    {"the shell refuses to start the verified installer",
     [] {
         serve_release();
         fake_net::serve(NODE_URLS[0], fake_net::body(INSTALLER));
         fake_net::serve(NODE_URLS[1], fake_net::body(INSTALLER));
         fake_os::set_shell_result(32);
     },
     1,
     [](const std::string& path) {
         return BANNER + STAGE1 + RELEASE_LINE + STAGE2 + probe_lines("OOFFFF") + downloaded(0) +
                verified_and_launching() +
                "\n警告: 安装器启动失败 / Failed to launch installer (code 32), "
                "run manually:\n   " +
                path + "\n";
     },
     true, true},
};

TEST(RunInstaller, ExitCodesAndTranscripts) {
    for (const RunCase& c : CASES) {
        SCOPED_TRACE(c.name);
        TestDir dir;
        fake_net::reset();
        fake_os::reset();
        fake_os::set_temp_dir(dir.path());
        c.setup();
        const std::string path = dir.file(FILE_NAME);

        int exit_code = -1;
        std::string out = transcript([&] { exit_code = run_installer(); });

        EXPECT_EQ(exit_code, c.exit_code);
        EXPECT_EQ(out, c.expected(path));
        EXPECT_EQ(fake_net::open_handles(), 0) << fake_net::calls_text();
        EXPECT_EQ(file_exists(path), c.installer_left);
        if (c.installer_left) {
            EXPECT_EQ(read_file(path), INSTALLER);
        }
        bool shell_called = false;
        for (const auto& call : fake_os::calls())
            shell_called |= call == "open " + path;
        EXPECT_EQ(shell_called, c.launched);
        // These runs are unpinned: they never ask about a signature.
        for (const auto& call : fake_os::calls())
            EXPECT_NE(call.rfind("signature", 0), 0u) << call;
    }
}

// A failing run in a console of its own asks for Enter as its very last act,
// after its last message and with every handle closed; a successful one, or
// one whose console is shared or redirected, never does. Nothing else changes.
TEST(RunInstaller, WaitsForEnterOnlyAfterAFailureInItsOwnConsole) {
    const std::string PROMPT = "\n按回车键退出 / Press Enter to exit...\n";
    for (const RunCase& c : CASES) {
        for (bool own : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (own ? ", own console" : ", shared console"));
            TestDir dir;
            fake_net::reset();
            fake_os::reset();
            fake_os::set_temp_dir(dir.path());
            fake_os::set_console_own(own);
            c.setup();
            const std::string path = dir.file(FILE_NAME);

            int exit_code = -1;
            std::string out = transcript([&] { exit_code = run_installer(); });

            const bool waits = own && c.exit_code != 0;
            EXPECT_EQ(exit_code, c.exit_code);
            EXPECT_EQ(out, c.expected(path) + (waits ? PROMPT : ""));
            const auto& calls = fake_os::calls();
            int waited = 0;
            for (const auto& call : calls)
                waited += call == "wait for enter";
            EXPECT_EQ(waited, waits ? 1 : 0);
            if (waits) {
                ASSERT_GE(calls.size(), 2u);
                EXPECT_EQ(calls[calls.size() - 2], "console own?");
                EXPECT_EQ(calls.back(), "wait for enter");
                EXPECT_EQ(fake_os::printed_before_wait(), out);
            }
            EXPECT_EQ(fake_net::open_handles(), 0) << fake_net::calls_text();
        }
    }
}

TEST(RunInstaller, SetsTheConsoleToUtf8BeforeAnything) {
    fake_net::reset();
    fake_os::reset();
    transcript([] { run_installer(); });
    ASSERT_FALSE(fake_os::calls().empty());
    EXPECT_EQ(fake_os::calls().front(), "console 65001");
}

TEST(RunInstaller, ClosesTheDownloadSessionBeforeTheProbeSession) {
    TestDir dir;
    fake_net::reset();
    fake_os::reset();
    fake_os::set_temp_dir(dir.path());
    serve_release();
    fake_net::serve(NODE_URLS[0], fake_net::body(INSTALLER));
    transcript([] { run_installer(); });
    const auto& calls = fake_net::calls();
    ASSERT_GE(calls.size(), 2u);
    // The probe session is the first one opened, the download session the second.
    EXPECT_EQ(calls[calls.size() - 2], "close session 2");
    EXPECT_EQ(calls.back(), "close session 1");
    EXPECT_EQ(fake_net::open_handles(), 0);
}

// The options a fresh session gets from the profile, as the transport sets them.
std::string profile_options(const TimeoutProfile& profile) {
    fake_net::reset();
    NetSession* session = open_session();
    apply_timeouts(session, profile);
    std::string options = fake_net::session_options(1);
    close_handle(session);
    fake_net::reset();
    return options;
}

TEST(RunInstaller, EachSessionGetsItsOwnTimeoutProfile) {
    const std::string probe = profile_options(PROBE_PROFILE);
    const std::string download = profile_options(DOWNLOAD_PROFILE);
    ASSERT_NE(probe.find("option 2=" + std::to_string(PROBE_PROFILE.resolve_ms) + "\n"),
              std::string::npos);
    ASSERT_NE(probe, download);

    TestDir dir;
    fake_net::reset();
    fake_os::reset();
    fake_os::set_temp_dir(dir.path());
    serve_release();
    fake_net::serve(NODE_URLS[0], fake_net::body(INSTALLER));
    int code = -1;
    transcript([&] { code = run_installer(); });
    EXPECT_EQ(code, 0);
    EXPECT_EQ(fake_net::session_options(1), probe);
    EXPECT_EQ(fake_net::session_options(2), download);
}

TEST(RunInstaller, NoTemporaryDirectoryOrDownloadSessionWhenNoNodeAnswers) {
    fake_net::reset();
    fake_os::reset();
    transcript([] { run_installer(); });
    int sessions = 0;
    for (const auto& call : fake_net::calls())
        sessions += call.rfind("open ", 0) == 0;
    EXPECT_EQ(sessions, 1);
    for (const auto& call : fake_os::calls())
        EXPECT_NE(call.rfind("temp", 0), 0u) << call;
}

const std::string PIN = "5e2a8d0c6f0b1f7e3d9c4a2b1e0f9d8c7b6a5f4e3d2c1b0a9f8e7d6c5b4a3f2e";

std::string refused_for_signature() {
    return "   校验通过 / Verified  SHA-256 " + DIGEST +
           "\n   签名无效: 非本发布者签名 / Signature refused: signed by another publisher\n";
}

// A pinned run: a file that a pinned key did not sign is deleted and the next
// node is tried, as after a digest mismatch; when no node passes, the run
// ends with its final message and exit code 1.
TEST(RunInstaller, APinnedRunStartsOnlyASignedInstaller) {
    struct Case {
        const char* name;
        std::vector<SignatureCheck> checks;  // one per node that reaches the check
        int exit_code;
        std::string (*tail)(const std::string& path);  // after the probe lines
        int signature_calls;
    };
    static const Case cases[] = {
        {"signed by the pinned key",
         {SignatureCheck::valid},
         0,
         [](const std::string& path) {
             return downloaded(0) + verified_and_launching() + launched(path);
         },
         1},
        {"refused at the first node, signed at the second",
         {SignatureCheck::other_signer, SignatureCheck::valid},
         0,
         [](const std::string& path) {
             return downloaded(0) + refused_for_signature() + downloaded(2) +
                    verified_and_launching() + launched(path);
         },
         2},
        {"refused at every node",
         {SignatureCheck::other_signer},
         1,
         [](const std::string&) {
             return downloaded(0) + refused_for_signature() + downloaded(2) +
                    refused_for_signature() + ALL_FAILED;
         },
         2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TestDir dir;
        fake_net::reset();
        fake_os::reset();
        fake_os::set_temp_dir(dir.path());
        fake_os::set_signer_pins({PIN});
        fake_os::set_signature_results(c.checks);
        serve_release();
        fake_net::serve(NODE_URLS[0], fake_net::body(INSTALLER));
        fake_net::serve(NODE_URLS[2], fake_net::body(INSTALLER));
        const std::string path = dir.file(FILE_NAME);

        int exit_code = -1;
        std::string out = transcript([&] { exit_code = run_installer(); });

        EXPECT_EQ(exit_code, c.exit_code);
        EXPECT_EQ(out,
                  BANNER + STAGE1 + RELEASE_LINE + STAGE2 + probe_lines("OFOFFF") + c.tail(path));
        EXPECT_EQ(file_exists(path), c.exit_code == 0);
        int signature_calls = 0, deletes = 0, opens = 0;
        for (const auto& call : fake_os::calls()) {
            signature_calls += call == "signature " + path + " " + PIN;
            deletes += call == "delete " + path;
            opens += call == "open " + path;
        }
        EXPECT_EQ(signature_calls, c.signature_calls);
        EXPECT_EQ(deletes, c.exit_code == 0 ? c.signature_calls - 1 : c.signature_calls);
        EXPECT_EQ(opens, c.exit_code == 0 ? 1 : 0);
        EXPECT_EQ(fake_net::open_handles(), 0) << fake_net::calls_text();
    }
}

// A signed file with the release's digest whose version resource says it is
// not the release is refused once: every node serves those same bytes, so no
// other node is asked and the run ends with its final message.
TEST(RunInstaller, APinnedRunAsksNoOtherNodeForAFileThatIsNotTheRelease) {
    TestDir dir;
    fake_net::reset();
    fake_os::reset();
    fake_os::set_temp_dir(dir.path());
    fake_os::set_signer_pins({PIN});
    InstallerIdentityReport report{};
    report.verdict = InstallerIdentity::below_floor;
    std::snprintf(report.version, sizeof report.version, "0.7.5.0");
    report.floor_version = "0.7.19";
    fake_os::set_identity_report(report);
    serve_release();
    fake_net::serve(NODE_URLS[0], fake_net::body(INSTALLER));
    fake_net::serve(NODE_URLS[2], fake_net::body(INSTALLER));
    const std::string path = dir.file(FILE_NAME);

    int exit_code = -1;
    std::string out = transcript([&] { exit_code = run_installer(); });

    EXPECT_EQ(exit_code, 1);
    EXPECT_EQ(out, BANNER + STAGE1 + RELEASE_LINE + STAGE2 + probe_lines("OFOFFF") + downloaded(0) +
                       "   校验通过 / Verified  SHA-256 " + DIGEST +
                       "\n   版本信息无效: 文件版本 0.7.5.0 低于内置版本 0.7.19 / Version refused: "
                       "the file's version 0.7.5.0 is below the built-in release 0.7.19\n" +
                       ALL_FAILED);
    EXPECT_FALSE(file_exists(path));
    int node_gets = 0;
    for (const auto& call : fake_net::calls())
        node_gets += call.find(NODE_URLS[2]) != std::string::npos;
    EXPECT_EQ(node_gets, 1) << fake_net::calls_text();  // its probe only
    EXPECT_EQ(fake_net::open_handles(), 0) << fake_net::calls_text();
}

// ---- Local conditions and slow nodes: the run's decisions across nodes.

// The fakes reset, with the test's folder as the temporary directory.
void start_fresh(const std::string& temp_dir) {
    fake_net::reset();
    fake_os::reset();
    fake_os::set_temp_dir(temp_dir);
}

const std::string ALREADY_RUNNING =
    "错误: 安装器已在运行 / Error: the online installer is already running.\n";
const std::string NODE_TOO_SLOW =
    "\r   该节点速度过慢, 切换下一节点 / Node too slow, switching...\n";

// A release of 40 chunks of 100 bytes, served without Content-Length and
// paced on the fake clock.
constexpr int PACED_CHUNKS = 40;
const std::string PACED_BODY = [] {
    std::string body;
    for (int i = 0; i < PACED_CHUNKS * 100; ++i)
        body += static_cast<char>('a' + i % 26);
    return body;
}();

void serve_paced_release() {
    fake_net::serve(FIRST_SOURCE, fake_net::body("v0.8.0\n" + FILE_NAME + "\n" +
                                                 std::to_string(PACED_BODY.size()) + "\n" +
                                                 sha256_hex_of(PACED_BODY) + "\n"));
}

// 39 more reads after the first at ms each: slow beyond the limit at 2000.
fake_net::Response paced_node(uint64_t ms_per_read) {
    fake_net::Response r;
    for (int i = 0; i < PACED_CHUNKS; ++i)
        r.chunks.push_back(PACED_BODY.substr(i * 100, 100));
    r.ms_per_read = ms_per_read;
    return r;
}
constexpr uint64_t SLOW_MS = 2000;
constexpr uint64_t FAST_MS = 10;

// The line of an attempt that continues a part, after its header.
std::string resuming(const char* megabytes) {
    return std::string("   从 ") + megabytes + " MB 处继续下载 / Resuming at " + megabytes +
           " MB\n";
}

// A node's download that continues a part: its header, then the line.
std::string resumed_header(int slot, const char* megabytes) {
    return download_header(slot) + resuming(megabytes);
}

std::string paced_complete(int slot) {
    return download_header(slot) + "\n[4/4] 校验完整性 / Verifying integrity (SHA-256)...\n" +
           "   校验通过 / Verified  SHA-256 " + sha256_hex_of(PACED_BODY) +
           "\n   启动安装器 / Launching installer...\n";
}

// The transcript without its progress lines ("\r   [label] NN%  (X / Y MB)").
std::string without_progress(std::string out) {
    for (size_t at = out.find("\r   ["); at != std::string::npos; at = out.find("\r   [", at))
        out.erase(at, out.find(')', at) + 1 - at);
    return out;
}

std::string left_slow(int slot) {
    return download_header(slot) + NODE_TOO_SLOW;
}

struct SlowCase {
    const char* name;
    std::vector<uint64_t> node_ms;  // per slot; 0 = the node does not answer
    std::string probes;
    std::string downloads;  // from the first "[3/4]" to the launch
};

TEST(RunInstaller, LeavesAFarTooSlowNodeButNeverTheLastOrMoreThanTwo) {
    const SlowCase cases[] = {
        {"a slow first node and a fast second",
         {SLOW_MS, FAST_MS, 0, 0, 0, 0},
         "OOFFFF",
         left_slow(0) + paced_complete(1)},
        // The part of the node left is asked to be continued, but these nodes
        // answer a range with the whole file, which replaces it: no line says
        // that the download resumes.
        {"every node equally slow: two are left, the third keeps going",
         {SLOW_MS, SLOW_MS, SLOW_MS, SLOW_MS, 0, 0},
         "OOOOFF",
         left_slow(0) + download_header(1) + NODE_TOO_SLOW + paced_complete(2)},
        {"the only reachable node is slow: kept",
         {0, 0, SLOW_MS, 0, 0, 0},
         "FFOFFF",
         paced_complete(2)},
        {"slow, then the last reachable node is slow too: kept",
         {SLOW_MS, 0, 0, 0, 0, SLOW_MS},
         "OFFFFO",
         left_slow(0) + paced_complete(5)},
        {"a fast node is never left", {FAST_MS, FAST_MS, 0, 0, 0, 0}, "OOFFFF", paced_complete(0)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TestDir dir;
        start_fresh(dir.path());
        serve_paced_release();
        for (int slot = 0; slot < 6; ++slot) {
            if (c.node_ms[slot] != 0) fake_net::serve(NODE_URLS[slot], paced_node(c.node_ms[slot]));
        }
        const std::string path = dir.file(FILE_NAME);

        int exit_code = -1;
        std::string out = transcript([&] { exit_code = run_installer(); });

        EXPECT_EQ(exit_code, 0);
        EXPECT_EQ(without_progress(out), BANNER + STAGE1 + RELEASE_LINE + STAGE2 +
                                             probe_lines(c.probes) + c.downloads + launched(path));
        EXPECT_EQ(read_file(path), PACED_BODY);
        EXPECT_FALSE(file_exists(part_of(path)));
        EXPECT_EQ(fake_net::open_handles(), 0) << fake_net::calls_text();
    }
}

// A second copy says so and ends before it touches the network or a file; the
// console pause applies as after any failure. A lock that cannot be made at
// all says nothing of other copies, and the run goes on.
TEST(RunInstaller, ASecondCopyIsRefusedBeforeTheNetworkAndAnyFile) {
    struct LockCase {
        const char* name;
        InstanceLock lock;
        bool own_console;
    };
    const LockCase cases[] = {
        {"taken, shared console", InstanceLock::taken, false},
        {"taken, own console", InstanceLock::taken, true},
        {"unavailable", InstanceLock::unavailable, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TestDir dir;
        start_fresh(dir.path());
        fake_os::set_console_own(c.own_console);
        fake_os::set_instance_lock(c.lock);
        serve_release();
        fake_net::serve(NODE_URLS[0], fake_net::body(INSTALLER));

        int exit_code = -1;
        std::string out = transcript([&] { exit_code = run_installer(); });

        if (c.lock == InstanceLock::unavailable) {
            EXPECT_EQ(exit_code, 0);
            EXPECT_EQ(out, BANNER + STAGE1 + RELEASE_LINE + STAGE2 + probe_lines("OFFFFF") +
                               downloaded(0) + verified_and_launching() +
                               launched(dir.file(FILE_NAME)));
            continue;
        }
        EXPECT_EQ(exit_code, 1);
        EXPECT_EQ(out, BANNER + ALREADY_RUNNING +
                           (c.own_console ? "\n按回车键退出 / Press Enter to exit...\n" : ""));
        EXPECT_EQ(fake_net::calls_text(), "");
        std::vector<std::string> expected_os = {"console 65001", "lock", "console own?"};
        if (c.own_console) expected_os.push_back("wait for enter");
        EXPECT_EQ(fake_os::calls(), expected_os);
    }
}

TEST(RunInstaller, StopsBeforeAnyDownloadWhenTheTempFolderHasNoRoomForTheRelease) {
    struct SpaceCase {
        const char* name;
        uint64_t release_size;
        bool known;
        uint64_t free_bytes;
        int exit_code;
        std::string tail;  // after the probe lines
    };
    const std::string big_release =
        "   版本/Version v0.8.0  文件/File Trevalon-setup-0.8.0.exe  大小/Size 2.4 MB  "
        "来源/Source: 节点A/Node A\n";
    const SpaceCase cases[] = {
        {"2.5 MB release, 1 MiB free", 2500000, true, 1048576, 2,
         "错误: 临时目录空间不足 / Error: not enough free space in the temp directory "
         "(need 2.4 MB, have 1.0 MB)\n"},
        {"one byte short", 3, true, 2, 2,
         "错误: 临时目录空间不足 / Error: not enough free space in the temp directory "
         "(need 0.0 MB, have 0.0 MB)\n"},
        {"exactly the release's size", 3, true, 3, 0, ""},
        {"the free space cannot be had", 3, false, 0, 0, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TestDir dir;
        start_fresh(dir.path());
        if (c.known) fake_os::set_free_space(c.free_bytes);
        fake_net::serve(FIRST_SOURCE,
                        fake_net::body("v0.8.0\n" + FILE_NAME + "\n" +
                                       std::to_string(c.release_size) + "\n" + DIGEST + "\n"));
        fake_net::serve(NODE_URLS[0], fake_net::body(INSTALLER));
        const std::string path = dir.file(FILE_NAME);

        int exit_code = -1;
        std::string out = transcript([&] { exit_code = run_installer(); });

        EXPECT_EQ(exit_code, c.exit_code);
        const std::string head = BANNER + STAGE1 +
                                 (c.release_size == 3 ? RELEASE_LINE : big_release) + STAGE2 +
                                 probe_lines("OFFFFF");
        if (c.exit_code == 2) {
            EXPECT_EQ(out, head + c.tail);
            int sessions = 0;
            for (const auto& call : fake_net::calls())
                sessions += call.rfind("open ", 0) == 0;
            EXPECT_EQ(sessions, 1) << "no download session";
        } else {
            EXPECT_EQ(out, head + downloaded(0) + verified_and_launching() + launched(path));
        }
        bool asked = false;
        for (const auto& call : fake_os::calls())
            asked |= call == "free " + dir.path();
        EXPECT_TRUE(asked) << "the temporary folder's free space is asked for";
        EXPECT_EQ(fake_net::open_handles(), 0);
    }
}

TEST(RunInstaller, AFileThatCannotBeWrittenEndsTheLoopAfterOneAttempt) {
    struct WriteCase {
        const char* name;
        bool folder_missing;  // the part file cannot be created
        bool disk_full;       // the part file takes no bytes
        bool move_fails;      // the installer path cannot be replaced
        std::string (*expected)(const std::string& path);
    };
    const WriteCase cases[] = {
        {"the part file cannot be created", true, false, false,
         [](const std::string& path) {
             return download_header(0) +
                    "\n错误: 无法在临时目录中写入文件 / Error: cannot write to the temp "
                    "directory: " +
                    part_of(path) + "\n";
         }},
        {"the disk fills during the download", false, true, false,
         [](const std::string& path) {
             return download_header(0) + "\r   [" + label(0) + "] 100%  (0.0 / 0.0 MB)" +
                    "\n错误: 无法在临时目录中写入文件 / Error: cannot write to the temp "
                    "directory: " +
                    part_of(path) + "\n";
         }},
        {"the installer path cannot be replaced", false, false, true,
         [](const std::string& path) {
             return download_header(0) + "\r   [" + label(0) + "] 100%  (0.0 / 0.0 MB)" +
                    "\n错误: 无法写入安装器文件 / Error: cannot write the installer file (is it "
                    "still running?): " +
                    path + "\n";
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TestDir dir;
        const std::string temp = c.folder_missing ? dir.path() + "gone/" : dir.path();
        start_fresh(temp);
        fake_os::set_move_fails(c.move_fails);
        serve_release();
        for (int slot = 0; slot < 3; ++slot)
            fake_net::serve(NODE_URLS[slot], fake_net::body(INSTALLER));
        const std::string path = temp + FILE_NAME;
        if (!c.folder_missing) write_file(path, "an installer still running");
        if (c.disk_full) {
            ASSERT_EQ(symlink("/dev/full", (part_of(path)).c_str()), 0);
        }

        int exit_code = -1;
        std::string out = transcript([&] { exit_code = run_installer(); });

        EXPECT_EQ(exit_code, 1);
        EXPECT_EQ(out, BANNER + STAGE1 + RELEASE_LINE + STAGE2 + probe_lines("OOOFFF") +
                           c.expected(path));
        // A whole part that could not take the installer's name stays for
        // the next run; a part that could not be written goes.
        EXPECT_EQ(file_exists(part_of(path)), c.move_fails);
        if (c.move_fails) {
            EXPECT_EQ(read_file(part_of(path)), INSTALLER);
        }
        if (!c.folder_missing) {
            EXPECT_EQ(read_file(path), "an installer still running");
        }
        EXPECT_EQ(fake_net::open_handles(), 0);
        for (const auto& call : fake_os::calls())
            EXPECT_NE(call.rfind("open ", 0), 0u) << "nothing is launched";
    }
}

// ---- Continuing a broken download, within a run and across runs.

namespace resume {

// PACED_BODY's 40 chunks, with a Content-Length; honours "Range: bytes=N-".
fake_net::Response node(const std::string& body = PACED_BODY) {
    fake_net::Response r;
    for (int i = 0; i < PACED_CHUNKS; ++i)
        r.chunks.push_back(body.substr(i * 100, 100));
    r.has_content_length = true;
    r.content_length = body.size();
    r.honours_ranges = true;
    return r;
}

// The download's read with this index, from 0, fails: it resets after
// index × 100 bytes and goes down, so that asking it again fails and the
// next node continues. (The probe's request counts its own reads.)
fake_net::Response resetting(int read_index, const std::string& body = PACED_BODY) {
    fake_net::Response r = node(body);
    r.fail_at = fake_net::Step::read;
    r.fail_on_call = read_index;
    r.gone_after_cut = true;
    return r;
}

std::vector<std::string> range_headers() {
    std::vector<std::string> headers;
    for (const auto& call : fake_net::calls())
        if (call.rfind("header Range: bytes=", 0) == 0 &&
            call.find("bytes=0-") == std::string::npos)
            headers.push_back(call.substr(7, call.find(" flags") - 7));
    return headers;
}

// The bytes that the node's requests read, probes included.
uint64_t bytes_read() {
    uint64_t total = 0;
    for (const auto& call : fake_net::calls()) {
        const size_t arrow = call.find(" -> ");
        if (call.rfind("read ", 0) == 0 && call.find("FAILED") == std::string::npos)
            total += std::stoull(call.substr(arrow + 4));
    }
    return total;
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

struct Run {
    int exit_code = -1;
    std::string out;
};

Run run() {
    Run r;
    r.out = transcript([&] { r.exit_code = run_installer(); });
    return r;
}

}  // namespace resume

TEST(RunInstaller, AResetNodeIsContinuedByTheNext) {
    TestDir dir;
    start_fresh(dir.path());
    serve_paced_release();
    fake_net::serve(NODE_URLS[0], resume::resetting(36));  // 90 %
    fake_net::serve(NODE_URLS[1], resume::node());
    const std::string path = dir.file(FILE_NAME);

    const resume::Run r = resume::run();

    EXPECT_EQ(r.exit_code, 0);
    // A is asked again first, then B continues where A stopped.
    EXPECT_EQ(resume::range_headers(),
              (std::vector<std::string>{"Range: bytes=3600-", "Range: bytes=3600-"}));
    EXPECT_TRUE(resume::contains(
        r.out, "\r   [" + label(0) + "]  90%  (0.0 / 0.0 MB)" + asked_again("0.0") + NODE_FAILED +
                   resumed_header(1, "0.0") + "\r   [" + label(1) + "]  92%  (0.0 / 0.0 MB)"))
        << r.out;
    EXPECT_TRUE(resume::contains(r.out, verified_and_launching().substr(0, 20)));
    EXPECT_EQ(read_file(path), PACED_BODY);
    EXPECT_FALSE(file_exists(part_of(path)));
    // The manifest (102 bytes), two probes of one 100-byte chunk each, then
    // every byte of the file once.
    EXPECT_EQ(resume::bytes_read(), 102u + 200u + PACED_BODY.size());
    EXPECT_EQ(fake_net::open_handles(), 0);
}

TEST(RunInstaller, AStitchedFileThatFailsItsDigestEndsResumingForTheRun) {
    TestDir dir;
    start_fresh(dir.path());
    serve_paced_release();
    const std::string stale(PACED_BODY.size(), 'x');
    fake_net::serve(NODE_URLS[0], resume::resetting(20));  // 50 %, right bytes
    fake_net::serve(NODE_URLS[1], resume::node(stale));    // continues with wrong ones
    fake_net::serve(NODE_URLS[2], resume::resetting(10));  // whole, breaks at 25 %
    fake_net::serve(NODE_URLS[3], resume::node());         // whole
    const std::string path = dir.file(FILE_NAME);

    const resume::Run r = resume::run();

    EXPECT_EQ(r.exit_code, 0);
    // The first node is asked again at its break (it is gone), the second
    // continues its part; the third starts whole, breaks and is asked again
    // within its own attempt (gone too).
    EXPECT_EQ(resume::range_headers(),
              (std::vector<std::string>{"Range: bytes=2000-", "Range: bytes=2000-",
                                        "Range: bytes=1000-"}));
    EXPECT_TRUE(resume::contains(r.out, "   哈希不匹配 / Hash mismatch!\n"));
    EXPECT_TRUE(resume::contains(r.out, download_header(2) + "\r   [" + label(2) + "]   2%"))
        << "the attempt after the mismatch starts at byte 0";
    EXPECT_TRUE(resume::contains(r.out, download_header(3) + "\r   [" + label(3) + "]   2%"))
        << "and so does every later one";
    EXPECT_EQ(read_file(path), PACED_BODY);
    EXPECT_FALSE(file_exists(part_of(path)));
}

TEST(RunInstaller, ANodeLeftForSlownessFinishesWhenEveryLaterNodeFails) {
    TestDir dir;
    start_fresh(dir.path());
    serve_paced_release();
    fake_net::Response slow = resume::node();
    slow.ms_per_read = SLOW_MS;  // left after 400 bytes
    fake_net::serve(NODE_URLS[0], slow);
    fake_net::serve(NODE_URLS[1], resume::resetting(1));  // adds 100 bytes, then breaks
    const std::string path = dir.file(FILE_NAME);

    const resume::Run r = resume::run();

    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(
        resume::range_headers(),
        (std::vector<std::string>{"Range: bytes=400-", "Range: bytes=500-", "Range: bytes=500-"}));
    EXPECT_TRUE(resume::contains(r.out, NODE_TOO_SLOW + resumed_header(1, "0.0")));
    EXPECT_TRUE(
        resume::contains(r.out, asked_again("0.0") + NODE_FAILED + resumed_header(0, "0.0")));
    EXPECT_EQ(r.out.find(NODE_TOO_SLOW), r.out.rfind(NODE_TOO_SLOW)) << "left once only";
    EXPECT_FALSE(resume::contains(r.out, ALL_FAILED));
    EXPECT_EQ(read_file(path), PACED_BODY);
}

TEST(RunInstaller, APartOfAnEarlierRunIsContinuedOnlyForTheSameRelease) {
    struct EarlierCase {
        const char* name;
        std::string side;  // the digest beside the part; "-" for none
        std::vector<std::string> ranges;
    };
    const EarlierCase cases[] = {
        {"the same release", sha256_hex_of(PACED_BODY), {"Range: bytes=1000-"}},
        {"another release with the same file name", DIGEST, {}},
        {"no digest beside it", "-", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TestDir dir;
        start_fresh(dir.path());
        serve_paced_release();
        fake_net::serve(NODE_URLS[0], resume::node());
        const std::string path = dir.file(FILE_NAME);
        // The earlier part's bytes are right only for the same release.
        write_file(part_of(path),
                   c.ranges.empty() ? std::string(1000, 'o') : PACED_BODY.substr(0, 1000));
        if (c.side != "-") write_file(side_of(path), c.side);

        const resume::Run r = resume::run();

        EXPECT_EQ(r.exit_code, 0);
        EXPECT_EQ(resume::range_headers(), c.ranges);
        EXPECT_EQ(resume::contains(r.out, resumed_header(0, "0.0")), !c.ranges.empty());
        EXPECT_EQ(read_file(path), PACED_BODY);
        EXPECT_FALSE(file_exists(part_of(path)));
        EXPECT_FALSE(file_exists(side_of(path)));
    }
}

TEST(RunInstaller, AWholePartOfAnEarlierRunIsCheckedWithoutADownload) {
    const std::string ALREADY =
        "\n[3/4] 上次运行已下载完整 / Already downloaded by an earlier run\n"
        "[4/4] 校验完整性 / Verifying integrity (SHA-256)...\n";
    for (bool right : {true, false}) {
        SCOPED_TRACE(right ? "its digest matches" : "its digest fails");
        TestDir dir;
        start_fresh(dir.path());
        serve_paced_release();
        fake_net::serve(NODE_URLS[0], resume::node());
        const std::string path = dir.file(FILE_NAME);
        write_file(part_of(path), right ? PACED_BODY : std::string(PACED_BODY.size(), 'o'));
        write_file(side_of(path), sha256_hex_of(PACED_BODY));

        const resume::Run r = resume::run();

        EXPECT_EQ(r.exit_code, 0);
        EXPECT_TRUE(resume::contains(r.out, probe_lines("OFFFFF") + ALREADY));
        int sends = 0;
        for (const auto& call : fake_net::calls())
            sends += call == "send " + NODE_URLS[0];
        EXPECT_EQ(sends, right ? 1 : 2) << "the probe, and a download only after a mismatch";
        EXPECT_EQ(resume::contains(r.out, "Hash mismatch"), !right);
        EXPECT_TRUE(resume::range_headers().empty());
        EXPECT_EQ(read_file(path), PACED_BODY);
        EXPECT_FALSE(file_exists(side_of(path))) << "the digest goes with the part it named";
    }
}

TEST(RunInstaller, AWholePartThatCannotBeMovedIntoPlaceEndsTheRunWithoutADownload) {
    TestDir dir;
    start_fresh(dir.path());
    serve_paced_release();
    fake_net::serve(NODE_URLS[0], resume::node());
    fake_os::set_move_fails(true);
    const std::string path = dir.file(FILE_NAME);
    write_file(part_of(path), PACED_BODY);
    write_file(side_of(path), sha256_hex_of(PACED_BODY));

    const resume::Run r = resume::run();

    EXPECT_EQ(r.exit_code, 1);
    EXPECT_TRUE(resume::contains(r.out, "Error: cannot write the installer file")) << r.out;
    EXPECT_FALSE(resume::contains(r.out, download_header(0))) << r.out;
    int sends = 0;
    for (const auto& call : fake_net::calls())
        sends += call == "send " + NODE_URLS[0];
    EXPECT_EQ(sends, 1) << "the probe only";
    EXPECT_EQ(read_file(part_of(path)), PACED_BODY) << "the part stays for a later run";
}

TEST(RunInstaller, APartOfAnotherReleaseIsDeletedAtTheNextRun) {
    // An earlier run of another release (another file name) broke off; this
    // run's only node is busy, so nothing of its own replaces the old part.
    struct OtherCase {
        const char* name;
        bool delete_fails;  // a scanner holds the old part
    };
    const OtherCase cases[] = {{"deleted", false}, {"its delete fails", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TestDir dir;
        start_fresh(dir.path());
        serve_paced_release();
        fake_net::Response busy = resume::node();
        busy.download_status = 503;
        fake_net::serve(NODE_URLS[0], busy);
        fake_os::set_delete_fails(c.delete_fails);
        const std::string path = dir.file(FILE_NAME);
        write_file(part_of(path), PACED_BODY.substr(0, 1000));
        write_file(side_of(path), DIGEST);

        const resume::Run r = resume::run();

        EXPECT_EQ(r.exit_code, 1);
        EXPECT_TRUE(resume::contains(r.out, NONE_COMPLETE));  // the busy node failed no check
        EXPECT_EQ(file_exists(part_of(path)), c.delete_fails);
        EXPECT_FALSE(file_exists(side_of(path)));
        EXPECT_TRUE(resume::range_headers().empty()) << "a part not proven is never continued";
        EXPECT_FALSE(resume::contains(r.out, "Resuming"));
    }
}

TEST(RunInstaller, APartWhoseDeleteFailedIsTakenWholeNotContinued) {
    // The old part of another release stays (a scanner holds it) and stands
    // without a digest: the download starts from byte 0 and overwrites it.
    TestDir dir;
    start_fresh(dir.path());
    serve_paced_release();
    fake_net::serve(NODE_URLS[0], resume::node());
    fake_os::set_delete_fails(true);
    const std::string path = dir.file(FILE_NAME);
    write_file(part_of(path), std::string(1000, 'o'));
    write_file(side_of(path), DIGEST);

    const resume::Run r = resume::run();

    EXPECT_EQ(r.exit_code, 0);
    EXPECT_TRUE(resume::range_headers().empty());
    EXPECT_FALSE(resume::contains(r.out, "Resuming"));
    EXPECT_EQ(read_file(path), PACED_BODY);
}

TEST(RunInstaller, ABusyMirrorCostsNoByteAlreadyFetched) {
    // A breaks at 60 %, B refuses the range, C continues: every byte of the
    // file is read once, whatever B answers.
    const int refusals[] = {503, 429, 416};
    for (int status : refusals) {
        SCOPED_TRACE(status);
        TestDir dir;
        start_fresh(dir.path());
        serve_paced_release();
        fake_net::serve(NODE_URLS[0], resume::resetting(24));
        fake_net::Response busy = resume::node();
        busy.download_status = static_cast<uint32_t>(status);
        fake_net::serve(NODE_URLS[1], busy);
        fake_net::serve(NODE_URLS[2], resume::node());
        const std::string path = dir.file(FILE_NAME);

        const resume::Run r = resume::run();

        EXPECT_EQ(r.exit_code, 0);
        EXPECT_EQ(resume::range_headers(),
                  (std::vector<std::string>{"Range: bytes=2400-", "Range: bytes=2400-",
                                            "Range: bytes=2400-"}));
        EXPECT_TRUE(resume::contains(r.out, NODE_FAILED + resumed_header(2, "0.0"))) << r.out;
        EXPECT_EQ(read_file(path), PACED_BODY);
        // The manifest (102 bytes), three probes of one 100-byte chunk each,
        // then the file once: the refusal's body is not read.
        EXPECT_EQ(resume::bytes_read(), 102u + 300u + PACED_BODY.size());
    }
}

TEST(RunInstaller, AFreshWholeAttemptClearsTheMarkOfMoreThanOneSource) {
    // A and B stitch a part; C ignores the range and sends a whole file that
    // fails its digest. That file had one source, so resuming goes on: D's
    // part is continued by E.
    TestDir dir;
    start_fresh(dir.path());
    serve_paced_release();
    const std::string stale(PACED_BODY.size(), 'x');
    fake_net::serve(NODE_URLS[0], resume::resetting(20));  // 2000 bytes
    fake_net::serve(NODE_URLS[1], resume::resetting(10));  // 1000 more
    fake_net::Response whole_stale = resume::node(stale);
    whole_stale.honours_ranges = false;
    fake_net::serve(NODE_URLS[2], whole_stale);
    fake_net::serve(NODE_URLS[3], resume::resetting(10));  // 1000 from byte 0
    fake_net::serve(NODE_URLS[4], resume::node());
    const std::string path = dir.file(FILE_NAME);

    const resume::Run r = resume::run();

    EXPECT_EQ(r.exit_code, 0);
    EXPECT_TRUE(resume::contains(r.out, "   哈希不匹配 / Hash mismatch!\n"));
    EXPECT_EQ(resume::range_headers(),
              (std::vector<std::string>{"Range: bytes=2000-", "Range: bytes=2000-",
                                        "Range: bytes=3000-", "Range: bytes=3000-",
                                        "Range: bytes=1000-", "Range: bytes=1000-"}));
    EXPECT_EQ(read_file(path), PACED_BODY);
}

TEST(RunInstaller, FreeSpaceIsAskedForTheMissingBytesOnly) {
    // 3000 of the 4000 bytes stand from an earlier run: 1000 are missing.
    for (uint64_t free_bytes : {uint64_t{1000}, uint64_t{999}}) {
        SCOPED_TRACE(free_bytes);
        TestDir dir;
        start_fresh(dir.path());
        serve_paced_release();
        fake_net::serve(NODE_URLS[0], resume::node());
        fake_os::set_free_space(free_bytes);
        const std::string path = dir.file(FILE_NAME);
        write_file(part_of(path), PACED_BODY.substr(0, 3000));
        write_file(side_of(path), sha256_hex_of(PACED_BODY));

        const resume::Run r = resume::run();

        EXPECT_EQ(r.exit_code, free_bytes >= 1000 ? 0 : 2);
        EXPECT_EQ(resume::contains(r.out, "not enough free space"), free_bytes < 1000);
        if (free_bytes >= 1000) {
            EXPECT_EQ(read_file(path), PACED_BODY);
        } else {
            EXPECT_EQ(read_file(part_of(path)), PACED_BODY.substr(0, 3000))
                << "the part stays for a run with more room";
        }
    }
}

TEST(RunInstaller, FreeSpaceIsComparedInWholeBytesPast2To53) {
    // 2^53 + 1 and 2^53 are one double apart from nothing: only a comparison
    // of whole bytes tells that one byte is missing. Past 2^32, too.
    struct LargeCase {
        uint64_t size;
        uint64_t free_bytes;
        bool refused;
    };
    const LargeCase cases[] = {
        {(uint64_t{1} << 53) + 1, uint64_t{1} << 53, true},
        {(uint64_t{1} << 53) + 1, (uint64_t{1} << 53) + 1, false},
        {(uint64_t{1} << 32) + 1, uint64_t{1} << 32, true},
        {UINT64_MAX, UINT64_MAX - 1, true},
        {UINT64_MAX, UINT64_MAX, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        TestDir dir;
        start_fresh(dir.path());
        fake_net::serve(FIRST_SOURCE,
                        fake_net::body("v0.8.0\n" + FILE_NAME + "\n" + std::to_string(c.size) +
                                       "\n" + DIGEST + "\n"));
        fake_net::serve(NODE_URLS[0], fake_net::body(INSTALLER));  // never the release's size
        fake_os::set_free_space(c.free_bytes);

        const resume::Run r = resume::run();

        EXPECT_EQ(r.exit_code, c.refused ? 2 : 1);
        EXPECT_EQ(resume::contains(r.out, "not enough free space"), c.refused) << r.out;
    }
}

}  // namespace
