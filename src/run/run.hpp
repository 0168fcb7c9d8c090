#pragma once

// The whole run, from the banner to the exit code: 0 the verified installer
// was started; 1 no reachable node, every node failed, or the launch failed;
// 2 no HTTPS client or no temporary directory. On a failure, when the console
// is the program's own, it asks for Enter before it returns.
int run_installer();
