// Scripted operating-system services for unit tests. Output goes to the real
// standard output (tests capture it); files are real files in a test folder.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "os/os.hpp"
#include "verify/version_resource.hpp"

namespace fake_os {

void reset();  // ticks 0, no temp directory, shell result 42, empty log
// Successive tick_ms() results; the last one repeats once they are used up.
void set_ticks(const std::vector<uint64_t>& ticks);
void set_temp_dir(const std::string& dir);  // with its trailing "/"; "" means none
void set_shell_result(intptr_t result);

// "console 65001", "tick N", "temp DIR", "delete PATH", "open PATH",
// "console own?", "wait for enter"
const std::vector<std::string>& calls();

// The answer of console_is_own(); reset() makes it false.
void set_console_own(bool own);
// What out_printf/out_line had printed since reset() when wait_for_enter()
// was called; "" when it was not called.
const std::string& printed_before_wait();

// The installer between its check and its launch. file_events(): "hold PATH",
// "release PATH", "signature held PATH" (through the held file) or
// "signature by path PATH", "open PATH", "delete PATH", in order.
const std::vector<std::string>& file_events();
// The next hold_file() opens the file, then puts a new file with this content
// at its path, as someone who replaced the file after the check would.
void swap_after_hold(const std::string& content);

// The publisher's signature. reset() leaves the build unpinned: no keys,
// signer_pins() names no check, and below_version_floor() refuses nothing.
// With keys set, below_version_floor() refuses a release below the built-in
// one and signer_pins() names the fake check_signature, which logs
// "signature PATH KEYHEX,KEYHEX..." and answers with the given results in
// turn, the last one repeating (valid when none).
void set_signer_pins(const std::vector<std::string>& hex_keys);
void set_signature_results(const std::vector<SignatureCheck>& results);
// With keys set, signer_pins() also names the fake identify, which logs
// "identity held PATH" as a file event and answers that the file is the
// release; after use_file_identity(true) (reset() undoes it) it answers with
// the real installer_identity_refusal, reading the file's version resource.
void use_file_identity(bool real);
// The fake identify's answer from now on (until reset()).
void set_identity_report(const InstallerIdentityReport& report);

// ---- Local conditions. reset() gives: the lock held, free space unknown (the
// query fails), moves done with rename(), the clock not advanced.

// What take_instance_lock() answers; logged as "lock".
void set_instance_lock(InstanceLock answer);
// The free space free_disk_space() reports, logged as "free DIR"; without a
// call the query fails.
void set_free_space(uint64_t bytes);
// Whether move_file_replacing() refuses, logged as "move FROM TO"; otherwise
// it renames the real file.
void set_move_fails(bool fails);
// The next n moves fail, the ones after them succeed.
void set_moves_failing(int n);
// Whether moves onto this path refuse (logged all the same); "" for none.
void set_move_fails_into(const std::string& to);
// The size of the file at each allow_sparse_writes() call, in order (-1 when
// it could not be read); reset() empties it.
const std::vector<int64_t>& sparse_marks();
// Whether delete_file() refuses and leaves the file (a scanner holding it),
// logged as "delete PATH" either way.
void set_delete_fails(bool fails);
// Adds ms to every later tick_ms() result. The time the fake transport's
// reads took (fake_net::read_time_ms()) is added as well.
void advance_ticks(uint64_t ms);
// Each later out_printf/out_line call advances the clock by ms before it
// returns: a console that blocks its writer (a selection, Ctrl+S).
void set_print_ms(uint64_t ms);
// The next tick_ms() value, taken as the batch's own workers take it: the
// scripted ticks move on, but no "tick" call is logged, the stage not having
// asked for it. offset_ms is added to the scripted tick alone.
uint64_t take_tick(uint64_t offset_ms);
// The part of the clock that scripts move on, without the scripted ticks:
// advance_ticks(), the printer, and the fake transport's time.
uint64_t moved_ms();

}  // namespace fake_os
