// What the fuzz targets' OS services printed to standard output.
#pragma once

#include <string>

namespace fuzz_os {
std::string& output();
}
