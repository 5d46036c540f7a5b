// The numbers a driver and the host agree on, written once: what the host's
// runtime libraries' FuncTable holds at which entry, what its message log and
// its tag database call things, and the codes the host support library shows.
// The driver, our stand-ins for the host's libraries, the tools, the tests,
// the fuzzers and the benchmarks all take them from here.
#pragma once

#include <cstdint>

// The host's reference to one of its tags: pointer-sized, opaque to drivers.
using HostTagRef = uintptr_t;

// Entries of the runtime libraries' FuncTable (32 plain function pointers)
// that a driver calls, by index.
enum HostTableEntry {
    kEntryPutMessage = 19,   // Plovanet.DLL: (int first, int kind, const char* line)
    kEntrySetTagValue = 23,  // ZeravDbm.DLL: (HostTagRef, CTagVal*)
    kEntryGetTagName = 29,   // ZeravDbm.DLL: (HostTagRef, CString* name)
};
const int kHostTableSize = 32;

// The message call's first argument: the line comes from a driver.
const int kMessageFirstArgument = 3;

// Kinds of the log lines a driver writes.
const int kLogFault = 256;     // something failed
const int kLogProgress = 258;  // something was done

// The support library's error code for a host library that cannot be loaded
// (shown with the library's file name).
const int kErrLibraryMissing = 2000;

// The host's tag type of a digital (one-bit) tag: the only one this driver serves.
const int kDigitalTagType = 13;

// The value type of a number in the host's value object: the one a write must carry.
const uint16_t kValueTypeNumber = 7;
