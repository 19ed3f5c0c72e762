// Small text routines used to read the Lanvara entries of qd.conf.
#pragma once

#include <cstdint>

// 1 for '0' to '9', else 0.
int qdisdigit(char c);
// Decimal value of the text, without any check of its characters (a wrapping sum of
// (c - '0') times the place value).
std::uint32_t qdatoi(const char* text);
// A dotted quad in network byte order (the first part at the lowest address on every
// host); 0 when the text is not one.
std::uint32_t qdinet_addr(const char* text);
