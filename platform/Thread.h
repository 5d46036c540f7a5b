// A worker thread that nobody joins: it runs fn(arg) and ends. Its last act in
// our code is the return from fn, so a caller that waits for a signal fn sets
// just before returning can release the module right after (on Windows a raw
// system thread, whose exit runs no code of this module).
#pragma once

using ThreadProc = void (*)(void* arg);

// False when the system could not start a thread.
bool StartDetachedThread(ThreadProc fn, void* arg);
