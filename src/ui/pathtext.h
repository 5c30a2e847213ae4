// Paths in running text, as the windows show them. A label wraps a line only where the text lets
// it: a path marked here never breaks inside a folder's name ("Oculus game"), only after one of
// its separators, and never between an amount and its unit.
#pragma once

#include <QString>
#include <cstddef>
#include <string>

namespace ui {

// One path, marked to wrap after its separators only.
QString PathText(const std::wstring& path);
// The same, shortened in the middle to at most `longest` characters: the start (the drive) and
// the end (the folder's name) tell a person most.
QString ShortPathText(const std::wstring& path, size_t longest);
// Running text whose paths were put in plain (the worker's words): each path is found by its
// start (a separator, a drive "D:\", "~" or the ellipsis of a shortened one) and marked as above.
// A blank goes on with a path unless the word before ends a sentence or a clause.
QString PathsWrappedAtSeparators(const QString& words);
// The marks taken out again, for a box that wraps only at blanks (MessageBoxW).
QString WithoutPathMarks(const QString& text);

}  // namespace ui
