// Pure helpers of the host probe: sysfs node-entry names and the executable search path.
#pragma once

#include <cerrno>
#include <cstddef>
#include <string>
#include <string_view>

#include <sys/stat.h>

namespace host_probe::core {

// A NUMA node entry of the sysfs node directory: "node" followed by one or more digits and nothing
// else (node0, node01, node12; not node, nodeX, node-1, possible). ASCII names only: a name with
// other characters needs the interpreter's notion of a digit and is decided by the caller.
constexpr bool is_node_name(std::string_view name) noexcept {
    if (name.size() <= 4 || name.substr(0, 4) != "node") return false;
    for (char c : name.substr(4)) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

// Appends `dir` joined with `file` as the POSIX path join does (an empty directory leaves `file`
// relative to the working directory; an absolute `file` stands alone), then a terminating NUL.
inline void append_candidate(std::string& buf, std::string_view dir, std::string_view file) {
    if (!file.empty() && file.front() == '/') {
        buf.append(file);
    } else {
        buf.append(dir);
        if (!dir.empty() && dir.back() != '/') buf.push_back('/');
        buf.append(file);
    }
    buf.push_back('\0');
}

// Whether any of the NUL-terminated candidates in `buf` might be executed. False only when every
// one is certainly absent (stat fails with ENOENT or ENOTDIR), which is the one case where the
// exec of each candidate is bound to fail the same way; any other answer means "try it".
inline bool any_candidate_present(const std::string& buf) noexcept {
    std::size_t pos = 0;
    while (pos < buf.size()) {
        const char* path = buf.c_str() + pos;
        struct stat st;
        if (::stat(path, &st) == 0) return true;
        if (errno != ENOENT && errno != ENOTDIR) return true;
        pos += std::char_traits<char>::length(path) + 1;
    }
    return false;
}

}  // namespace host_probe::core
