#include "os/private_folder.hpp"

namespace {

bool lets_others_write(const AccessEntry& entry) {
    if (!entry.known) return true;
    if (!entry.allows || entry.trustee != Trustee::other) return false;
    return (entry.rights & FOLDER_WRITE_RIGHTS) != 0;
}

}  // namespace

FolderVerdict judge_private_folder(const FolderFacts& facts) {
    if (!facts.exists) return FolderVerdict::create;
    if (!facts.readable || !facts.is_directory || facts.is_reparse_point || facts.named_otherwise) {
        return FolderVerdict::refuse;
    }
    // Only the user: a folder that SYSTEM or the administrators made there is
    // not this run's to take over.
    if (facts.owner != Trustee::user) return FolderVerdict::refuse;
    if (!facts.has_access_list || facts.entry_count > FOLDER_MAX_ENTRIES) {
        return FolderVerdict::refuse;
    }
    for (uint32_t i = 0; i < facts.entry_count; ++i) {
        if (lets_others_write(facts.entries[i])) return FolderVerdict::refuse;
    }
    return FolderVerdict::use;
}
