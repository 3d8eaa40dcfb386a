// A small font of 5 x 7 dots for the text the application draws itself
// (the test label): capital letters, digits, a space and . , - / % : = '
#ifndef TAVEL_PRINTERAPP_JOBS_DOT_FONT_H
#define TAVEL_PRINTERAPP_JOBS_DOT_FONT_H

// Dots across and down one character; a character cell adds one blank
// column.
constexpr unsigned kDotFontWidth = 5;
constexpr unsigned kDotFontHeight = 7;

// The seven rows of character c, top first, the leftmost dot in bit 4; null
// for a character the font does not have (lower case is drawn as capitals).
const unsigned char* dotFontGlyph(char c);

#endif
