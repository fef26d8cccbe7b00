// Volume folders into archives and archives into volume folders (built
// where libarchive is found), reporting every item as a copy does.
#pragma once

#include "engine.h"

namespace zvk {

// Write the entry at path (a folder with everything below it) into w,
// names relative to path (with include_top, the folder's name first).
CopyOutcome export_walk(Volume& v, const std::string& image, std::string_view path, bool include_top,
                        ArchiveWriter& w, const Report& report);

// Read the archive (opened by open, twice) into the folder at folder.
CopyOutcome import_walk(Volume& v, const std::string& image, const ArchiveOpen& open, std::string_view folder,
                        const CopyOptions& opt, const Report& report, const std::string& archive_name);

}  // namespace zvk
