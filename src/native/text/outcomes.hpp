// The outcome types, one per level, from a field's text up to a record. Python-free.
//
//   Parse          a fast reader on ASCII text: did it decide, and how
//   RealLine       a plain line read straight into a sink without splitting it
//   Conv           one step inside a record's guard
//   RecordOutcome  one record of the vector walk
//
// Above them, a walk or a helper that touches the interpreter answers bool (false: an
// error is set), and the interpreter's own slots keep its conventions (null, -1).
#pragma once
#include <cstdint>

namespace femap {

// What a Python-free reader decides about a text (a number, an identifier line).
enum class Parse : uint8_t {
    Ok,       // decided and converted; the value is exact
    Invalid,  // the host refuses this text (int() or float() raises ValueError)
    Unsure,   // not decided here (underscores, long digit strings, inf/nan, ...): the host decides
};

// How a plain-line reader (read_real_line, read_entry_line) ended.
enum class RealLine : uint8_t {
    Read,        // every field was a number and went to push
    NotSimple,   // not such a line: split it (what was pushed is to be dropped)
    PushFailed,  // push returned false: an error is set
};

// One step inside a record's guard: a field's conversion, the split of a line the
// record reads, its title, a count line, the identifier line of a block.
enum class Conv : uint8_t {
    Ok,      // done; the record goes on
    Reject,  // the error the guard swallows (the host's ValueError, or IndexError where
             // lines are indexed): the record is passed over; no error is left set
    Fail,    // an error that ends the whole call is set (32-bit narrowing, a line that is
             // not a str, memory, an error raised by the caller's objects)
};

// What a record handler tells the vector walk.
enum class RecordOutcome : uint8_t {
    Next,  // the record is done (kept, skipped or dropped): go on at `next`
    Stop,  // the sink has what it wanted: the walk ends without error
    Fail,  // an error is set: the call ends
};

}  // namespace femap
