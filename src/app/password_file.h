// The password file: device passwords for encrypted log files.
//
// The file is one JSON object (UTF-8) whose members map a key to a password,
// both texts:
//   {"0A1B2C3D": "secret-of-this-device", "default": "fleet-password"}
// A key is "default" (the password of every device without its own) or a
// device serial number; a device matches only its serial number written as
// eight upper-case hexadecimal digits.  Keys of hexadecimal digits are kept
// as written, other keys are left out; a key that can match no device is
// reported as a warning.  A key given twice keeps its first password (warning
// "Failed to insert key for ...").
//
// Anything else makes the whole file malformed and nothing of it is taken:
// not an object, a value that is not a text, a syntax error, bytes that are
// not UTF-8, text after the object.  The parser reads in linear time and
// never nests: an object or array as a value is refused where it starts.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>

// Parses the text of the password file `path` (named in messages only) and
// inserts its pairs into *passwords.  False for a malformed file, logged as
// "Could not parse password file <path>: line L, column C: <what is wrong>"
// (error level), where line and column (from 1) locate the last character
// read; *passwords is then left as it was.
[[nodiscard]] bool cLogReaderCLI_parsePasswords(
    std::string_view text, std::string_view path,
    std::unordered_map<std::string, std::string>* passwords);
