// Loading a library at run time by file name and finding an exported symbol.
// Windows: LoadLibraryA with its usual search order. Linux: a bare file name
// is looked for beside the module that asks first, then as dlopen finds it,
// so a library placed beside the driver is found as Windows finds it beside
// the host.
#pragma once

using LibHandle = void*;

LibHandle LoadLib(const char* fileName);
void* FindSymbol(LibHandle lib, const char* name);
void FreeLib(LibHandle lib);
// The folder (with a trailing separator) of the module that holds this code.
const char* OwnModuleFolder();
