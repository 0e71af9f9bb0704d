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

Identity IdentityOf(const std::string& path) {
    Identity id;
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        id.exists = true;
        id.device = st.st_dev;
        id.inode = st.st_ino;
    }
    std::error_code ec;
    const std::filesystem::path absolute = std::filesystem::absolute(path, ec);
    std::filesystem::path normal = ec ? std::filesystem::path(path) : absolute;
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
