#include "tools/rxp-host/startup_checks.h"

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>

namespace rxphost {

namespace {

// Members read by the host itself and by the plug-in's device (device/uni_data_device.h).
const char* const kKnownSettings[] = {"deviceId", "appSetting", "thresholdSetting"};

// Edits that turn one name into the other (insert, delete, replace a character).
std::size_t Distance(const std::string& a, const std::string& b) {
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t above = row[j];
            const bool same = std::tolower(static_cast<unsigned char>(a[i - 1])) ==
                              std::tolower(static_cast<unsigned char>(b[j - 1]));
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (same ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

}  // namespace

std::string CheckOutputFolder(const std::string& option, const std::string& path) {
    namespace fs = std::filesystem;
    const fs::path parent = fs::path(path).parent_path();
    const std::string folder = parent.empty() ? std::string(".") : parent.string();
    const std::string head = "--" + option + " '" + path + "': folder '" + folder + "' ";
    std::error_code ec;
    const fs::file_status status = fs::status(folder, ec);
    if (status.type() == fs::file_type::not_found) {
        return head + "does not exist; create it (mkdir -p '" + folder +
               "') or give a file in another folder";
    }
    if (ec) return head + "cannot be read: " + ec.message() + "; give a file in another folder";
    if (!fs::is_directory(status)) {
        return head + "is not a folder; give a file in a folder";
    }
    // The file is replaced through a new file beside it: try one.
    std::string probe = (fs::path(folder) / ".rxp-host-check-XXXXXX").string();
    const int fd = ::mkstemp(&probe[0]);
    if (fd < 0) {
        const std::string why = std::strerror(errno);
        return head + "cannot be written (" + why +
               "); give the user running rxp-host write access to it, or give a file in "
               "another folder";
    }
    ::close(fd);
    ::unlink(probe.c_str());
    return std::string();
}

std::vector<std::string> UnknownSettingsWarnings(const std::string& path,
                                                 const Json::Value& settings) {
    std::vector<std::string> warnings;
    if (!settings.isObject()) return warnings;
    for (const std::string& name : settings.getMemberNames()) {
        const auto known = std::find_if(std::begin(kKnownSettings), std::end(kKnownSettings),
                                        [&name](const char* k) { return name == k; });
        if (known != std::end(kKnownSettings)) continue;
        std::string warning = "warning: settings file '" + path + "': unknown member \"" + name +
                              "\", read by neither rxp-host nor the plug-in";
        for (const char* k : kKnownSettings) {
            if (Distance(name, k) <= 2) warning += std::string("; did you mean \"") + k + "\"?";
        }
        if (warning.back() != '?') {
            warning += " (they read \"deviceId\", \"appSetting\" and \"thresholdSetting\")";
        }
        warnings.push_back(warning);
    }
    return warnings;
}

}  // namespace rxphost
