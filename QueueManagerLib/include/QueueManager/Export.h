#pragma once

// Marks the classes and functions that the shared library exports. Every
// other symbol is hidden (the library is built with -fvisibility=hidden).
#if defined(_WIN32)
#if defined(QM_BUILDING_LIBRARY)
#define QM_EXPORT __declspec(dllexport)
#else
#define QM_EXPORT __declspec(dllimport)
#endif
#else
#define QM_EXPORT __attribute__((visibility("default")))
#endif
