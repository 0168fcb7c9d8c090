#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_os.hpp"
#include "test_support.hpp"
#include "verify/verify.hpp"

namespace {

struct LaunchCase {
    intptr_t shell_result;
    bool launched;
    const char* output;
};

TEST(LaunchInstaller, AboveThirtyTwoIsSuccess) {
    static const LaunchCase cases[] = {
        {33, true,
         "   启动安装器 / Launching installer...\n"
         "\n完成: 安装器已启动 / Installer launched (at C:\\Temp\\trevalon-setup.exe)\n"},
        {42, true,
         "   启动安装器 / Launching installer...\n"
         "\n完成: 安装器已启动 / Installer launched (at C:\\Temp\\trevalon-setup.exe)\n"},
        {32, false,
         "   启动安装器 / Launching installer...\n"
         "\n警告: 安装器启动失败 / Failed to launch installer (code 32), run manually:\n"
         "   C:\\Temp\\trevalon-setup.exe\n"},
        {2, false,
         "   启动安装器 / Launching installer...\n"
         "\n警告: 安装器启动失败 / Failed to launch installer (code 2), run manually:\n"
         "   C:\\Temp\\trevalon-setup.exe\n"},
        {0, false,
         "   启动安装器 / Launching installer...\n"
         "\n警告: 安装器启动失败 / Failed to launch installer (code 0), run manually:\n"
         "   C:\\Temp\\trevalon-setup.exe\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.shell_result);
        fake_os::reset();
        fake_os::set_shell_result(c.shell_result);
        bool ok = !c.launched;
        std::string out =
            transcript([&] { ok = launch_installer("C:\\Temp\\trevalon-setup.exe"); });
        EXPECT_EQ(ok, c.launched);
        EXPECT_EQ(out, c.output);
        EXPECT_EQ(fake_os::calls(), std::vector<std::string>{"open C:\\Temp\\trevalon-setup.exe"});
    }
}

}  // namespace
