#include <gtest/gtest.h>

#include <vector>

#include "os/private_folder.hpp"

namespace {

constexpr uint32_t FULL_CONTROL = 0x001F01FFu;
constexpr uint32_t READ_AND_RUN = 0x001200A9u;
constexpr uint32_t ADD_FILE = 0x00000002u;

const AccessEntry USER_FULL = {Trustee::user, true, true, FULL_CONTROL};
const AccessEntry SYSTEM_FULL = {Trustee::system, true, true, FULL_CONTROL};
const AccessEntry ADMINS_FULL = {Trustee::administrators, true, true, FULL_CONTROL};

// The folder as the program makes it: a directory of the user's, with full
// control for the user, SYSTEM and the administrators and nobody else.
FolderFacts own_folder(std::vector<AccessEntry> more = {}) {
    FolderFacts facts = {};
    facts.exists = true;
    facts.readable = true;
    facts.is_directory = true;
    facts.owner = Trustee::user;
    facts.has_access_list = true;
    std::vector<AccessEntry> entries = {USER_FULL, SYSTEM_FULL, ADMINS_FULL};
    entries.insert(entries.end(), more.begin(), more.end());
    for (const AccessEntry& entry : entries)
        facts.entries[facts.entry_count++] = entry;
    return facts;
}

struct FolderCase {
    const char* name;
    FolderFacts facts;
    FolderVerdict verdict;
};

FolderFacts with(FolderFacts facts, void (*change)(FolderFacts&)) {
    change(facts);
    return facts;
}

TEST(JudgePrivateFolder, UsesOnlyAFolderNobodyElseMayChange) {
    const FolderCase cases[] = {
        {"none there yet", FolderFacts{}, FolderVerdict::create},
        {"the user's own", own_folder(), FolderVerdict::use},
        {"others may read and list it", own_folder({{Trustee::other, true, true, READ_AND_RUN}}),
         FolderVerdict::use},
        {"others are denied writing", own_folder({{Trustee::other, false, true, FULL_CONTROL}}),
         FolderVerdict::use},
        {"only the user on the list", with(own_folder(), [](FolderFacts& f) { f.entry_count = 1; }),
         FolderVerdict::use},
        {"owned by another user",
         with(own_folder(), [](FolderFacts& f) { f.owner = Trustee::other; }),
         FolderVerdict::refuse},
        {"owned by the administrators",
         with(own_folder(), [](FolderFacts& f) { f.owner = Trustee::administrators; }),
         FolderVerdict::refuse},
        {"owned by SYSTEM", with(own_folder(), [](FolderFacts& f) { f.owner = Trustee::system; }),
         FolderVerdict::refuse},
        {"everyone may add files",
         own_folder({{Trustee::other, true, true, ADD_FILE | READ_AND_RUN}}),
         FolderVerdict::refuse},
        {"users have full control", own_folder({{Trustee::other, true, true, FULL_CONTROL}}),
         FolderVerdict::refuse},
        {"an entry that could not be read", own_folder({{Trustee::system, true, false, 0}}),
         FolderVerdict::refuse},
        {"no access list: everybody may do anything",
         with(own_folder(), [](FolderFacts& f) { f.has_access_list = false; }),
         FolderVerdict::refuse},
        {"exactly as many entries as are looked at",
         with(own_folder(),
              [](FolderFacts& f) {
                  while (f.entry_count < FOLDER_MAX_ENTRIES)
                      f.entries[f.entry_count++] = {Trustee::other, true, true, READ_AND_RUN};
              }),
         FolderVerdict::use},
        {"more entries than are looked at",
         with(own_folder(), [](FolderFacts& f) { f.entry_count = FOLDER_MAX_ENTRIES + 1; }),
         FolderVerdict::refuse},
        {"a reparse point", with(own_folder(), [](FolderFacts& f) { f.is_reparse_point = true; }),
         FolderVerdict::refuse},
        {"a link followed without saying so",
         with(own_folder(), [](FolderFacts& f) { f.named_otherwise = true; }),
         FolderVerdict::refuse},
        {"a file, not a folder", with(own_folder(), [](FolderFacts& f) { f.is_directory = false; }),
         FolderVerdict::refuse},
        {"its security cannot be read",
         with(own_folder(), [](FolderFacts& f) { f.readable = false; }), FolderVerdict::refuse},
    };
    for (const FolderCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(judge_private_folder(c.facts), c.verdict);
    }
}

// Each right on its own, granted to another account: those that read or
// list leave the folder private, every one that writes, deletes or changes
// who may do so refuses it.
TEST(JudgePrivateFolder, RefusesEveryWriteRightGrantedToOthers) {
    static const struct {
        const char* name;
        uint32_t right;
        FolderVerdict verdict;
    } cases[] = {
        {"list", 0x00000001u, FolderVerdict::use},
        {"add a file", 0x00000002u, FolderVerdict::refuse},
        {"add a folder", 0x00000004u, FolderVerdict::refuse},
        {"read extended attributes", 0x00000008u, FolderVerdict::use},
        {"write extended attributes", 0x00000010u, FolderVerdict::refuse},
        {"traverse", 0x00000020u, FolderVerdict::use},
        {"delete a child", 0x00000040u, FolderVerdict::refuse},
        {"read attributes", 0x00000080u, FolderVerdict::use},
        {"write attributes", 0x00000100u, FolderVerdict::refuse},
        {"delete", 0x00010000u, FolderVerdict::refuse},
        {"read the access list", 0x00020000u, FolderVerdict::use},
        {"write the access list", 0x00040000u, FolderVerdict::refuse},
        {"take ownership", 0x00080000u, FolderVerdict::refuse},
        {"synchronize", 0x00100000u, FolderVerdict::use},
        {"generic all", 0x10000000u, FolderVerdict::refuse},
        {"generic execute", 0x20000000u, FolderVerdict::use},
        {"generic write", 0x40000000u, FolderVerdict::refuse},
        {"generic read", 0x80000000u, FolderVerdict::use},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(judge_private_folder(own_folder({{Trustee::other, true, true, c.right}})),
                  c.verdict);
        // Granted to the accounts that may have it, no right refuses.
        EXPECT_EQ(judge_private_folder(own_folder({{Trustee::system, true, true, c.right}})),
                  FolderVerdict::use);
    }
}

}  // namespace
