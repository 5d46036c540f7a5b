// Name comparison as the Windows runtime's _stricmp does it in its default
// locale: every byte from 'A' to 'Z' is folded to lower case (the second byte
// of a double-byte CP949 character included), every other byte compares as is.
#pragma once

int StrICmp(const char* a, const char* b);
inline bool SameName(const char* a, const char* b) {
    return StrICmp(a, b) == 0;
}
