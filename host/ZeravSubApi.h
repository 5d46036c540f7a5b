// Import/export marker of the host support library.
#pragma once

#if defined(_WIN32)
#if defined(ZERAVSUB_BUILD)
#define ZERAVSUB_API __declspec(dllexport)
#else
#define ZERAVSUB_API __declspec(dllimport)
#endif
#else
#define ZERAVSUB_API __attribute__((visibility("default")))
#endif
