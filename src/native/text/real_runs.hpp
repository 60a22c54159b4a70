// Runs of comma-separated reals, the bulk of a results block, read field by field
// into a small batch. Where the processor has SSE4.1 (asked once, at load) a field of
// at most 16 bytes is read in one go: its sign, point and exponent letter found by
// comparing all its bytes at once, its digits gathered into place by one shuffle and
// summed by multiply-adds. Any field that this does not take is read by
// parse_real_prefix, so every value and every refusal is that of read_real_line.
#pragma once
#include <cstddef>
#include <cstdint>

namespace femap {

// Room of a batch: more fields than any line of results holds.
inline constexpr size_t kRealBatch = 32;

// One field [b, e) read as a real: blanks, a number parse_real_prefix takes, blanks.
// Bytes from b up to `limit` (>= e) may be read.
bool read_real_field(const char* b, const char* e, const char* limit, double& out) noexcept;

// Reads the comma-separated fields of [p, e) (its trailing commas already off) as
// reals into out, at most kRealBatch of them, into `count`. Returns where to go on
// (`done` once the last field is read), or null when a field is not a plain real.
// Bytes from p up to `limit` (>= e) may be read.
const char* read_real_run(const char* p, const char* e, const char* limit, double* out, size_t& count,
                          bool& done) noexcept;

// Reads the lines from p on that are plain `id,value` entries, as read_entry_line
// reads them: 1 to 9 digits, a comma, one field read as by read_real_field, then
// nothing but commas up to a "\n" (no "\r" in the text); at most `most` of them, none
// reaching `end`. Their ids and values go to the arrays, where each ends to `nexts`
// (past its "\n"), when given; p goes past them, `last` to the start of the last one.
// Returns how many were read. Bytes up to `readable` may be read.
size_t read_pair_lines(const char*& p, const char* end, const char* readable, size_t most, int32_t* ids,
                       double* values, const char*& last, const char** nexts = nullptr) noexcept;

// Reads whole lines from p on as read_real_line reads them (at most `most`), while
// fewer than `want` values are read: lines whose field 0 cannot read as -1 (may_be_minus_one) and whose
// fields all read, ending in a "\n" before `end` (no "\r" in the text). Stops before
// any other line, and (`full`) before a line whose fields might not fit the `room` of out. Their
// values go to out; p goes past them, `last` to the start of the last one, `lines` to
// their number; each line's count of values to `counts` and where the next starts
// to `nexts`, when given. Returns the number of values. Bytes up to `readable` may be read.
size_t read_real_lines(const char*& p, const char* end, const char* readable, size_t want, size_t most,
                       double* out, size_t room, size_t& lines, const char*& last, bool& full,
                       uint32_t* counts = nullptr, const char** nexts = nullptr) noexcept;

}  // namespace femap
