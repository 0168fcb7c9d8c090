#include "os/folder_pause.hpp"

void before_removing_stale_folder(const wchar_t*) {}
