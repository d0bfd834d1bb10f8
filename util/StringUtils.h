#pragma once

#include <string>

// Text helpers shared by the engine and offered to plug-ins. Narrow text is in the multibyte
// encoding of the current locale; conversions stop at the first unconvertible character.
std::wstring toWideString(const std::string& text);
std::string toUtf8String(const std::wstring& text);
// Characters below 128 kept, every other one as "%04x" hexadecimal. text must not be null.
std::string encodeString(const wchar_t* text);
// Exactly digits upper-case hexadecimal characters (empty for digits <= 0).
std::string IntToHex(unsigned int value, int digits);
std::string IntToHex(unsigned int value);
// Hex and character dump of length bytes to standard error, 16 bytes a line.
void Hexdump(void* data, int length);
// Writes the directory part of path into directory (room for strlen(path) bytes) and
// returns directory.
char* filepath(char* path, char* directory);
