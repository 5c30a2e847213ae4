// The values of the program's own line files (the move journal, the manifest of a move): a value
// is one line, so "%", control characters and the bytes that end a line are written as %XX (upper
// case). Plain text, for every engine folder above.
#pragma once

#include <string>
#include <string_view>

// Appends value, as UTF-8 with those bytes escaped.
void AppendLineValue(std::string& out, const std::wstring& value);
// The value of a line, or false when it holds what the writer would have escaped, an escape the
// writer would not have written, or bytes that do not come back as the same text.
bool DecodeLineValue(std::string_view text, std::wstring& value);
