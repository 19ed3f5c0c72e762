// Console messages.
#pragma once

inline constexpr int CE_CONT = 0;  // printed as is
inline constexpr int CE_NOTE = 1;  // "NOTICE: " text "\n"
inline constexpr int CE_WARN = 2;  // "WARNING: " text "\n"
inline constexpr int CE_PANIC = 3; // "panic: " text, then the kernel stops

void cmn_err(int level, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
[[noreturn]] void panic(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
