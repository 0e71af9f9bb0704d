#include "tools/rxp-host/output_files.h"

#include <sys/stat.h>

#include <filesystem>
#include <system_error>

namespace rxphost {

namespace {

struct Identity {
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
    std::string normalized;
};

// A link that points at nothing yet (or at another such link) names the file that opening it
// for writing creates: its target, followed as far as links go.
std::filesystem::path FileALinkCreates(std::filesystem::path path) {
    namespace fs = std::filesystem;
    for (int hops = 0; hops < 40; ++hops) {
        std::error_code ec;
        if (!fs::is_symlink(fs::symlink_status(path, ec))) break;
        const fs::path target = fs::read_symlink(path, ec);
        if (ec) break;
        path = target.is_absolute() ? target : path.parent_path() / target;
    }
    return path;
}

Identity IdentityOf(const std::string& given) {
    Identity id;
    struct stat st {};
    if (::stat(given.c_str(), &st) == 0) {
        id.exists = true;
        id.device = st.st_dev;
        id.inode = st.st_ino;
    }
    const std::filesystem::path path =
        id.exists ? std::filesystem::path(given) : FileALinkCreates(given);
    std::error_code ec;
    const std::filesystem::path absolute = std::filesystem::absolute(path, ec);
    std::filesystem::path normal = ec ? path : absolute;
    const std::filesystem::path resolved = std::filesystem::weakly_canonical(normal, ec);
    id.normalized = (ec ? normal.lexically_normal() : resolved).string();
    return id;
}

bool Same(const Identity& a, const Identity& b) {
    if (a.exists && b.exists) return a.device == b.device && a.inode == b.inode;
    return a.normalized == b.normalized;
}

}  // namespace

std::string SameFileNamedTwice(const std::vector<NamedFile>& files) {
    std::vector<Identity> ids;
    for (const NamedFile& f : files)
        ids.push_back(f.path.empty() ? Identity{} : IdentityOf(f.path));
    for (std::size_t i = 0; i < files.size(); ++i) {
        if (files[i].path.empty()) continue;
        for (std::size_t j = i + 1; j < files.size(); ++j) {
            if (files[j].path.empty() || !Same(ids[i], ids[j])) continue;
            const bool one_name = files[i].path == files[j].path;
            return files[i].option + " and " + files[j].option + " name the same file '" +
                   files[i].path + "'" + (one_name ? "" : " ('" + files[j].path + "')") +
                   "; every file may be given once";
        }
    }
    return "";
}

}  // namespace rxphost
