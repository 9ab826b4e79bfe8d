#pragma once
// Private-profile ("INI") files with the Windows semantics the program relies
// on: sections and keys match without regard to case, a null key erases a
// whole section, a null value deletes a key, the first write creates the file,
// reads are cut to the caller's buffer. Nothing is cached: each call opens the
// file, works and lets go of it. Writes go to a temporary file beside the
// target which then replaces it, so an interrupted write never leaves a
// truncated file behind.

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// Copies the value (or the default) into out, cut to size - 1 characters and
// zero-terminated; returns the number of characters copied. With a null key,
// lists the section's keys; with a null section, lists the section names (each
// zero-terminated, the list ended by a second zero).
uint32_t GetPrivateProfileStringA(const char* section, const char* key, const char* def, char* out,
                                  uint32_t size, const char* file);

// Writes key=value into section. key == nullptr erases the section, value ==
// nullptr deletes the key. Returns false, leaving the file as it was, when the
// file cannot be written, when it exists but cannot be read (no permission,
// not a regular file, larger than 1 MiB), or when the names or value cannot
// be held by the format (see profile::storable). Links are followed to the
// file they end at.
bool WritePrivateProfileStringA(const char* section, const char* key, const char* value, const char* file);

// Reads an integer: leading decimal digits (with an optional sign), or hex
// after "0x"; a missing key yields def.
uint32_t GetPrivateProfileIntA(const char* section, const char* key, int def, const char* file);

// True when the file exists but is not read: reads give their defaults and
// writes are refused.
bool profileUnreadable(const char* file);

namespace profile {
// Whether the format can hold the names and value so that they read back as
// written: no line breaks anywhere; a section without ']', a key without '='
// that does not start like a section or comment; names without surrounding
// blanks. Values with surrounding blanks or quotes are written quoted.
// key and value may be null.
bool storable(const char* section, const char* key, const char* value);

// Whether two section or key names are the same name (case does not count).
bool sameName(const std::string& a, const std::string& b);

// The parse and edit steps behind the functions above, on text in memory.
std::string lookup(const std::string& text, const std::string& section, const std::string& key, bool* found);
std::string setValue(const std::string& text, const std::string& section, const std::string& key,
                     const std::string& value);
std::string deleteKey(const std::string& text, const std::string& section, const std::string& key);
std::string eraseSection(const std::string& text, const std::string& section);
std::vector<std::string> sectionNames(const std::string& text);
std::vector<std::string> keyNames(const std::string& text, const std::string& section);
}  // namespace profile

}  // namespace platform
