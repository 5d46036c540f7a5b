// A tag's address as the driver reads it: blanks around it ignored, a letter I
// (input) or O (output) in either case, then the bit as a base-10 number with
// blanks and one sign allowed ("I07", " i 3", "O+2"); no number at all is bit 0
// ("I"). The driver's registration and every host-side program read addresses
// here and nowhere else, so a tag sits on the same bit for all of them.
#pragma once

#include <string>

enum class TagAddressFault {
    none,
    kind,    // neither I nor O
    number,  // characters after the letter that are not a number
    range,   // a bit beyond 0-7
};

struct TagAddress {
    char kind = 0;  // 'I' or 'O'
    int bit = 0;    // 0-7
    bool IsOutput() const { return kind == 'O'; }
};

// *out is set only when the result is TagAddressFault::none; for range the
// kind is known and returned in *out too.
TagAddressFault ParseTagAddress(const std::string& address, TagAddress* out);
