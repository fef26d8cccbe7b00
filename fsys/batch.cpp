// Pieces of new entries and new folders.
#include <cstring>
#include <memory>

#include "batch.h"
#include "console.h"

void parent_link_put(std::uint8_t* link, const Folder& parent, int slot) {
    std::memcpy(link + entry_field::NAME, parent.name.data(), NAME_LEN);
    be16_put(link + entry_field::CONTIGUOUS, static_cast<std::uint16_t>(slot));
    be32_put(link + entry_field::START, static_cast<std::uint32_t>(parent.start));
}

NewEntry new_folder_entry(const RawName& name) {
    NewEntry n;
    n.name = name;
    n.type = TYPE_SUBDIR;
    n.blocks = 2;
    n.size = 0;
    n.contiguous = 2;
    return n;
}

ChainFill fill_new_folder(Volume& v, const Folder& parent, int slot) {
    auto t = std::make_shared<DirImage>();
    std::uint8_t* link = dir_entry(*t, 0);
    link[entry_field::TYPE] = TYPE_PARENT;
    parent_link_put(link, parent, slot);
    (*t)[DIR_SIGNATURE] = 'D';
    (*t)[DIR_SIGNATURE + 1] = 'R';
    // The folder's two blocks are written before its entry is.
    return [&v, t](std::uint64_t first, std::uint64_t) {
        if (chain_transfer(v, t->data(), first, 2, 2, Direction::write) < 0) {
            err_print("error: can't write directory.\n");
            return -1;
        }
        return 0;
    };
}
