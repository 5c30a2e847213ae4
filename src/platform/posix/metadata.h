// POSIX backend: what a copy keeps besides the content, shared by the file and folder copies.
#pragma once

#include <sys/stat.h>

namespace sys::posixmeta {

// Copies the extended attributes of one open file or folder onto another. Attributes the target
// file system or the caller's rights do not take are passed over; 0 or an errno.
int CopyXattrs(int from, int to);

// Gives to the owner and group of st where the caller may (root may; others keep their own).
// 0 or an errno.
int CopyOwner(int to, const struct stat& st);

}  // namespace sys::posixmeta
