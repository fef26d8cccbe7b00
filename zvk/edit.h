// Changes of single entries below the commands: folders made, entries
// moved and renamed (removal is remove_entry_tree in engine.h).
#pragma once

#include "engine.h"

namespace zvk {

// Make folder name (a host name) in parent, whose path it will have; an
// existing folder of that name is ok when exist_ok.
Result make_folder_in(Volume& v, Folder& parent, const std::string& name, const std::string& path, bool exist_ok);

// Move the entry src into the folder the path to names, or (when to names
// nothing, or a file) to that path under its last component; a clash as
// clash says (a folder is never replaced). slash: to must be a folder.
Result move_entry(Volume& v, const Match& src, std::string_view to, bool slash, Clash clash);

// Move entry slot of from into the folder into under raw (dest: for
// messages), the clash rule applied.
Result move_checked(Volume& v, Folder& from, int slot, Folder& into, const RawName& raw, const std::string& dest,
                    Clash clash);

}  // namespace zvk
