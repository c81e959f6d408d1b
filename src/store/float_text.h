// The shortest decimal text of a 32-bit float that reads back to the same float, byte for byte as
// std::to_chars(first, last, value) writes it, in a fraction of the time (the export writes tens of
// millions of them).
#pragma once

namespace quarn::store {

// Writes a finite `value` at `out` (room for 16 characters needed) and returns the end. The digits
// are the fewest that round back to `value`, the nearest such when several qualify; the layout is
// fixed or scientific, whichever is shorter (fixed on a tie): "0.1", "-0", "123456792", "1e+05",
// "3.4028235e+38".
char* write_shortest(char* out, float value);

}  // namespace quarn::store
