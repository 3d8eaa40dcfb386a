// Code 128 bar codes, code set B (printable ASCII), as the test label
// prints one: the symbol as the widths of its bars and spaces.
#ifndef TAVEL_PRINTERAPP_JOBS_CODE128_H
#define TAVEL_PRINTERAPP_JOBS_CODE128_H

#include <string>
#include <vector>

// The Code 128 symbol of text in code set B: the widths, in modules, of its
// bars and spaces from left to right (a bar first, so bars sit at even
// positions): the start character, one character per letter of text, the
// check character and the stop character, without the quiet zones. Empty
// when text is empty or holds a character outside space to '~'.
std::vector<unsigned char> code128Widths(const std::string& text);

// The number of modules a symbol of widths spans.
unsigned code128Modules(const std::vector<unsigned char>& widths);

#endif
