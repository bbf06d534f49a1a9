// Narrow multibyte text in the locale's encoding, stepped character by character so that a
// byte inside a multibyte character is never taken for a key, a separator or a dot.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// Lower-cases the single-byte characters of text in place; the length never changes.
void LowerCaseInPlace(std::string& text);

// Returns the byte position of the first occurrence of key that starts on a character
// boundary, or std::string::npos when there is none.
size_t FindText(std::string_view text, std::string_view key);

// Returns the byte position of the last character c (a single byte) in text, or npos.
size_t FindLastChar(std::string_view text, char c);

// Returns the characters of text in order (a multibyte character is one piece; an invalid
// byte is a piece of its own).
std::vector<std::string_view> SplitCharacters(std::string_view text);
