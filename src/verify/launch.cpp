// The last step of a good node: the verified installer is handed to the
// shell's "open" and the run does not wait for it. Either way the file stays,
// and after a failure the message names it so the user can start it by hand.
#include <cstdint>

#include "os/os.hpp"
#include "verify/verify.hpp"

namespace {

// The shell's result is an instance-handle value; 32 and below are its error codes.
constexpr uintptr_t SHELL_LAST_ERROR_CODE = 32;

}  // namespace

bool launch_installer(const char* path) {
    out_line("   启动安装器 / Launching installer...");
    const intptr_t result = shell_open(path);
    release_checked_file();  // held since its check, until it has started
    if (static_cast<uintptr_t>(result) > SHELL_LAST_ERROR_CODE) {
        out_printf("\n完成: 安装器已启动 / Installer launched (at %s)\n", path);
        return true;
    }
    out_printf(
        "\n警告: 安装器启动失败 / Failed to launch installer (code %d), run manually:\n   %s\n",
        static_cast<int>(static_cast<int32_t>(result)), path);
    return false;
}
