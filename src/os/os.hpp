// The operating-system services the stages use, behind one seam: console
// output and input, the millisecond tick, the temporary directory, file
// deletion and the shell's "open". One implementation per platform and a
// scripted fake for tests.
#pragma once

#include <cstdint>
#include <cstdio>

constexpr unsigned CONSOLE_CODE_PAGE_UTF8 = 65001;

// The first call of a program's main: on Windows, libraries are from then on
// looked for in System32 alone, and the few that the system's own code loads
// by name later are loaded from there at once. Nothing to do on POSIX.
void restrict_library_search();

// Sets the console's output and input code pages to UTF-8 and, on Windows,
// turns QuickEdit off (a selection would block every write); results
// ignored. The console's code pages and input mode are given back when the
// process exits, also on Ctrl+C, Ctrl+Break or a closed console window.
void set_console_utf8();

// Standard output. Texts are UTF-8; on a Windows console they are written as
// wide text so that they show correctly whatever the console's font handling.
void out_printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
void out_line(const char* text);  // the text and a newline
void out_flush();

uint64_t tick_ms();  // monotonic milliseconds

// Fills dir with the program's private folder in the user's temporary
// directory, ending in its separator, and returns its length; 0 when there is
// none to be had or it does not fit in capacity - 1. The folder is made when
// it is missing. When the one there could be changed by someone other than
// the user (and, on Windows, SYSTEM and the administrators), a fresh folder
// of the user's own is made beside it and used for the rest of the process,
// whatever becomes of the usual one; its lock is held from then on, and on
// POSIX also by an installer started from it, for as long as that runs.
uint32_t temp_directory(char* dir, uint32_t capacity);

bool delete_file(const char* path);

// Starts the file as its own process without waiting for it, with the
// folder that holds it (an absolute path's) as its working folder. As the Windows
// shell: a value above 32 is success; 32 or less names the failure
// (2 not found, 5 access denied, 8 out of memory, 11 bad format, 31 other).
intptr_t shell_open(const char* path);

// Whether the console is the program's alone: a console window that Windows
// made for it when it was double-clicked, and that closes the moment it exits.
// True only when the console counts this one process and both standard input
// and output are that console. False when a shell or another program shares
// the console, when input or output is a pipe or a file, and on POSIX, where
// a terminal outlives the programs started in it.
bool console_is_own();

// Blocks until a line ends on standard input (the user pressed Enter), or the
// input ends or fails.
void wait_for_enter();

// ---- The installer from its check to its start.

// An open file, read from its start, that stays open until released. On
// Windows nobody else may write, rename or delete the file meanwhile (it is
// shared for reading only), so the bytes that were checked are the bytes
// that start; on POSIX the private temporary folder keeps others out.
// nullptr when the file cannot be opened so, which includes a file that
// another process holds open for writing.
struct HeldFile;
HeldFile* hold_file(const char* path);
// Reads the next bytes; false on a read error. count 0 is the end of the file.
bool read_held_file(HeldFile* file, void* buffer, uint32_t capacity, uint32_t* count);
// Reads the bytes at offset, wherever the last read stopped; false on a read
// error. Fewer than capacity only at the end of the file. The next
// read_held_file continues behind them.
bool read_held_file_at(HeldFile* file, uint64_t offset, void* buffer, uint32_t capacity,
                       uint32_t* count);
void release_file(HeldFile* file);

// The publisher's signature. A pinned build starts only a file signed by one
// of the publisher's code-signing keys, so that a manifest source taken over
// by someone else cannot get another program started with its own digest.
constexpr int SIGNER_PIN_BYTES = 32;  // SHA-256 of a key's DER SubjectPublicKeyInfo

enum class SignatureCheck {
    valid,         // a valid signature by one of the keys
    not_signed,    // no signature at all
    file_changed,  // the signature does not match the file, or cannot be read
    other_signer,  // a valid signature, by a key that is not one of the keys
    not_trusted,   // the signer's certificate does not chain to a trusted root
};

// Does the file carry a valid signature by one of these keys? Read through
// the held file (path names it for the system's messages); never goes to the
// network and never shows anything. The file stays held.
SignatureCheck check_signature(const char* path, HeldFile* file,
                               const unsigned char (*keys)[SIGNER_PIN_BYTES], uint32_t count);

// ---- Local conditions: one copy at a time, free space, a download moved into place.

// Whether this process is the only running copy of the program for this user
// and temporary folder. `held`: it is, and keeps the lock until it exits (a
// file in the private temporary folder, a byte of it locked with LockFileEx
// on Windows and under an flock on POSIX, so that a scanner that opens the
// file is never taken for another copy; never passed to the started installer, but for a
// fresh folder's on POSIX, which keeps the next run from removing the folder
// while the installer runs in it). `taken`:
// another copy holds it. `unavailable`: the lock could not be made at all
// (no private folder), which says nothing about other copies. In a fresh
// folder (see temp_directory) it is always `held`: it guards that folder,
// which no other copy uses.
enum class InstanceLock { held, taken, unavailable };
InstanceLock take_instance_lock();

// The bytes this user may still write on the file system that holds dir;
// false when the system cannot tell.
bool free_disk_space(const char* dir, uint64_t* bytes);

// Antivirus, backup and sync agents open a file just after it is closed or
// appears and hold it for a moment, denying writers and delete: a move or an
// open for writing then fails with a sharing violation, a lock violation or
// access denied. On Windows the calls below that wait try again, with a short
// backoff, for up to this long. A scan of a file of a few MB takes tens or
// hundreds of milliseconds, one of a large installer a few seconds; 5 s
// covers those with room to spare, and is all that a file held for good (an
// installer still running at the installer path, a read-only file) costs
// before its failure is reported. Nothing waits on POSIX, where opening a
// file never locks it against others.
constexpr uint64_t HELD_FILE_WAIT_MS = 5000;
// The first pause between two tries; each next one is twice as long, up to
// HELD_FILE_RETRY_MAX_MS, so that a short hold costs little more than itself.
constexpr uint64_t HELD_FILE_RETRY_FIRST_MS = 10;
constexpr uint64_t HELD_FILE_RETRY_MAX_MS = 250;

// Puts the file at from in the place of to, replacing a file there; false when
// that cannot be done (to is read-only or in use, or the folder refuses it).
// Waits for a file held for a moment (HELD_FILE_WAIT_MS).
bool move_file_replacing(const char* from, const char* to);
// The same without waiting, for a write that is repeated soon anyway and
// must not hold up the thread that drives the streams (the record of the
// ranges held).
bool move_file_replacing_at_once(const char* from, const char* to);

// Opens the file as std::fopen does, waiting for a file held for a moment
// (HELD_FILE_WAIT_MS) when the mode writes; nullptr when it cannot be opened.
std::FILE* open_file(const char* path, const char* mode);

// A part written at offsets, before its first byte lands far past its end.
// NTFS keeps a file's "valid data length" and, when a write starts past it,
// fills the gap with zeros inside that write: a helper's first write near
// 2 GiB of a new 4 GiB part would stall the one thread that drives every
// stream for as long as 2 GiB of zeros take to reach the disk, and its rates
// would make stragglers of healthy nodes. Setting the file's length first
// (SetEndOfFile) does not help, since it moves the end but not the valid data
// length, and SetFileValidData needs a privilege that users do not have. A
// sparse file keeps a gap as a hole instead, never written. So on Windows the
// part is marked sparse (FSCTL_SET_SPARSE); its size does not change, so a
// part is never taken for a whole one by its length. False where the file
// system has no sparse files (FAT32, exFAT): writes there are as before.
// POSIX file systems leave a hole behind a write past the end anyway:
// nothing to do.
bool allow_sparse_writes(std::FILE* file);

// The size of the file at path; false when there is no such file.
bool file_size(const char* path, uint64_t* bytes);

// Moves a stdio file's position to offset (from its start), for a part file
// written at offsets; sizes past 2 GiB included. False when it cannot.
bool seek_file(std::FILE* file, uint64_t offset);
