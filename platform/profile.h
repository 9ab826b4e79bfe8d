#pragma once
// Private-profile ("INI") files with the Windows semantics the program relies
// on: sections and keys match without regard to case, a null key erases a
// whole section, a null value deletes a key, the first write creates the file,
// reads are cut to the caller's buffer. Nothing is cached: each call opens the
// file, works and lets go of it. A write locks the file against other writers
// and reads it again under the lock, so no write undoes another's. It goes to
// a temporary file beside the target which then replaces it, so an
// interrupted write leaves the old file or the new one; where no temporary
// file can be made (a folder the user cannot write, a full disk), or a
// replacement would break a hard link or change the owner, the file is
// written in place, never left shorter than before for want of room. A file
// in UTF-16 or UTF-8 with a byte-order mark is read as text and written back
// in its encoding.

#include <cstdint>
#include <optional>
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

// One change of a file: no key erases the section, no value deletes the key.
struct ProfileEdit {
    std::string section;
    std::optional<std::string> key;
    std::optional<std::string> value;
};
// The changes in order, as one write: others see the file before them or
// after all of them. False, with the file as it was, as for the above.
bool WritePrivateProfileEdits(const std::vector<ProfileEdit>& edits, const char* file);

// Removes the temporary files an interrupted write of this file left behind
// (this user's; while another writer holds the file, only those older than
// a minute).
void removeProfileLeftovers(const char* file);

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

// The text that reads back as value: readers trim blanks and strip one pair
// of surrounding quotes, so such values are written inside quotes.
std::string encodeValue(const std::string& value);

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
