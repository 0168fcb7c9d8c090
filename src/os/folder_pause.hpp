// A point in the removal of an earlier run's fresh folder on Windows: the
// folder is open, judged and its lock taken, and nothing in it is removed
// yet. The programs link folder_pause.cpp, which goes straight on; the Wine
// check links its own, which tries there to swap the folder for a link.
#pragma once

void before_removing_stale_folder(const wchar_t* folder);
