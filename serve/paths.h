// Names and paths as the page sees them. A volume name becomes its host
// name (names.h: escapes for '/', NUL and '%', "%#N" for a later duplicate)
// with, in addition, every byte that is not printable ASCII written as %XX,
// so that JSON and the page carry any stored name and give it back intact.
#pragma once

#include <string>
#include <string_view>

// The page's form of a host name, and back.
std::string web_name(std::string_view host_name);
std::string host_name(std::string_view web);

// Whether a volume path from a request may be resolved: no "." or ".."
// component (an entry stored as ".." is named "%2E%2E"), no NUL byte, no
// backslash, at most 4096 bytes.
bool path_ok(std::string_view path);

// The last component of a path and the path of its folder ("/A/B" gives
// "B" and "/A"; "B" gives "B" and "/").
std::string path_leaf(std::string_view path);
std::string path_parent(std::string_view path);
// folder + "/" + leaf, without doubling the slash.
std::string path_join(std::string_view folder, std::string_view leaf);

// A file name for Content-Disposition: ASCII letters, digits and ._- kept,
// everything else '_' (never empty).
std::string download_name(std::string_view name);
